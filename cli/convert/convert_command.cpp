#include "cli/convert/convert_command.hpp"

#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <variant>

#include "cli/convert/convert_command_line.hpp"
#include "cli/convert/output_file.hpp"
#include "cli/output.hpp"
#include "frontend_core/reading/progress.hpp"
#include "frontend_core/reading/report_reader.hpp"
#include "frontend_core/reading/report_set.hpp"
#include "frontend_core/rendering/render_report.hpp"
#include "frontend_core/rendering/render_trace.hpp"
#include "store/report_store.hpp"

namespace profile_query {
namespace {

constexpr int kFailure = 1;

// Runs `body`, turning what it throws into a message and exit status 1.
template <typename Body>
int reporting_failures(Body&& body) {
  try {
    return body();
  } catch (const InputError& error) {
    std::cerr << "profile-query: " << error.what() << '\n';
  } catch (const zun_store::StoreError& error) {
    std::cerr << "profile-query: " << error.what() << '\n';
  } catch (const std::bad_alloc&) {
    std::cerr << "profile-query: out of memory\n";
  }
  return kFailure;
}

void refuse_overwriting_inputs(const std::vector<std::string>& inputs,
                               const std::string& output) {
  for (const std::string& input : inputs) {
    if (same_file(input, output)) {
      throw InputError(source_name(output) +
                       ": is also an input; write to another file");
    }
  }
}

// Whether `path` names a store file (not standard input, not JSON).
bool is_store_file(const std::string& path) {
  if (path == "-") return false;
  char head[8] = {};
  std::ifstream in(path, std::ios::binary);
  in.read(head, sizeof(head));
  return zun_store::ReportStore::is_store(
      {head, static_cast<std::size_t>(in.gcount())});
}

// The inputs' tiles one after another into one store, one input in memory
// at a time; `first` is the first input, already read.
void convert_tiles(const ConvertOptions& options,
                   zun_store::ReportStore first) {
  std::optional<zun_store::ReportStore> input = std::move(first);
  const std::uint64_t clock_hz = input->clock_hz();
  zun_store::StoreWriter writer(
      options.output, clock_hz,
      static_cast<zun_store::StoreVersion>(options.store_version));
  const RemoveOnInterrupt guard(writer.partial_path());
  ProgressMeter progress(std::cerr, source_name(options.output),
                         stderr_is_terminal());
  for (std::size_t i = 0; i < options.inputs.size(); ++i) {
    const std::string& path = options.inputs[i];
    if (i > 0) input = load_store_showing_progress(path);
    if (input->clock_hz() != clock_hz) {
      throw InputError(clock_mismatch(path, input->clock_hz(),
                                      options.inputs[0], clock_hz));
    }
    progress.start("writing", input->image_bytes());
    for (std::size_t t = 0; t < input->tile_count(); ++t) {
      writer.add_tile(input->tile_records(t));
      if (t % 256 == 0) {
        // About how far into the input's bytes the tiles have come.
        progress.update(input->sample_count() == 0
                            ? 0
                            : input->image_bytes() / input->sample_count() *
                                  input->tile_end(t));
      }
    }
    progress.finish();
  }
  input.reset();
  writer.finish();
}

}  // namespace

int convert_command(int argc, const char* const* argv) {
  auto parsed = parse_convert_command_line(argc, argv, std::cout, std::cerr);
  if (const int* status = std::get_if<ExitStatus>(&parsed)) {
    return finish_parse(*status);
  }
  const ConvertOptions& options = std::get<ConvertOptions>(parsed);
  return reporting_failures([&] {
    refuse_overwriting_inputs(options.inputs, options.output);
    zun_store::ReportStore store =
        load_store_showing_progress(options.inputs[0]);
    // One input already in the layout asked for (the smaller one, which a
    // JSON report was built in, or a version 2 store): its bytes are the
    // file's. Otherwise the tiles are written again.
    const bool as_is =
        options.inputs.size() == 1 &&
        (options.store_version != 0
             ? store.version() == options.store_version
             : store.version() == 2 || !is_store_file(options.inputs[0]));
    if (!as_is) {
      convert_tiles(options, std::move(store));
      return 0;
    }
    store.all_samples();  // every block checked: no damage is copied on
    OutputFile file(options.output, source_name(options.output));
    const auto bytes = store.bytes();
    file.write({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    file.commit();
    return 0;
  });
}

int export_command(int argc, const char* const* argv) {
  auto parsed = parse_export_command_line(argc, argv, std::cout, std::cerr);
  if (const int* status = std::get_if<ExitStatus>(&parsed)) {
    return finish_parse(*status);
  }
  const ExportOptions& options = std::get<ExportOptions>(parsed);
  return reporting_failures([&] {
    if (options.output != "-") {
      refuse_overwriting_inputs({options.input}, options.output);
    }
    const zun_store::ReportStore store =
        load_store_showing_progress(options.input);
    std::function<void(const std::function<void(std::string_view)>&)> write;
    if (options.trace_events) {
      TraceWindow window;
      window.from = options.from;
      window.to = options.to;
      window.tiles.insert(options.tiles.begin(), options.tiles.end());
      const std::size_t count = trace_sample_count(store, window);
      if (const auto fault = trace_window_fault(store, window, count)) {
        throw InputError(*fault);
      }
      if (count > kMaxTraceSamples && !options.force) {
        throw InputError(
            "the window holds " + std::to_string(count) +
            " samples, more than the " + std::to_string(kMaxTraceSamples) +
            " timeline viewers open: narrow it with --from, --to or --tile, "
            "or add --force");
      }
      if (store.clock_hz() == 0) {
        std::cerr << "profile-query: the report has no clock: times are "
                     "written in cycles, as microseconds\n";
      }
      write = [&store, window](const auto& emit) {
        write_trace_events(store, window, emit);
      };
    } else {
      if (const auto obstacle = json_obstacle(store)) {
        throw InputError(source_name(options.input) + ": " + *obstacle);
      }
      write = [&store](const auto& emit) { write_report_json(store, emit); };
    }
    if (options.output == "-") {
      bool failed = false;
      write([&](std::string_view piece) {
        if (!failed &&
            std::fwrite(piece.data(), 1, piece.size(), stdout) != piece.size()) {
          failed = true;
        }
      });
      if (failed || std::fflush(stdout) != 0) {
        std::cerr << "profile-query: cannot write the output\n";
        return kFailure;
      }
      return 0;
    }
    OutputFile file(options.output, source_name(options.output));
    write([&](std::string_view piece) { file.write(piece); });
    file.commit();
    return 0;
  });
}

}  // namespace profile_query
