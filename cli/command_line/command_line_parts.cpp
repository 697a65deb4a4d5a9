#include "cli/command_line/command_line_parts.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <variant>

#include "frontend_core/diff/diff.hpp"
#include "frontend_core/message_text.hpp"

#ifndef PROFILE_QUERY_VERSION
#define PROFILE_QUERY_VERSION "unknown"
#endif

namespace profile_query::command_line {

void add_request_options(CLI::App& app, RequestText& text) {
  app.add_option("--group-by", text.group_by, "What names a group")
      ->check(CLI::IsMember(names_of(kGroupings)))
      ->capture_default_str();
  app.add_option("--sort-by", text.sort_by, "The order of the groups")
      ->check(CLI::IsMember(names_of(kOrders)))
      ->capture_default_str();
  text.kind_option =
      app.add_option("--kind", text.kind, "Only steps of this kind")
          ->check(CLI::IsMember(names_of(kKinds)));
  text.kernel_option =
      app.add_option("--kernel", text.kernel,
                     "Only steps of this kernel (\"\" for none)")
          ->type_name("NAME");
  text.operation_option =
      app.add_option("--operation-contains", text.operation,
                     "Only steps whose operation holds this text")
          ->type_name("TEXT");
  app.add_option("--tile", text.tiles,
                 "Only samples of this physical tile, or of the tiles "
                 "FIRST-LAST (repeatable)")
      ->check(CLI::Validator(
          [](std::string& value) {
            return check_request_value("tile", value).value_or("");
          },
          ""))
      ->allow_extra_args(false)
      ->type_name("N[-M]");
  app.add_option("--phase", text.phases,
                 "Only steps of this phase, any epoch (repeatable)")
      ->check(decimal_check<std::uint32_t>())
      ->allow_extra_args(false)
      ->type_name("N");
  app.add_option(
         "--metadata", text.metadata,
         "Only steps with this metadata entry, NAME or NAME=VALUE (repeatable)")
      ->allow_extra_args(false)
      ->type_name("NAME[=VALUE]");
  text.key_option =
      app.add_option("--metadata-key", text.metadata_key,
                     "The metadata name whose value labels a group")
          ->type_name("NAME");
  text.at_option = app.add_option("--at", text.at,
                                  "Only samples running at this cycle offset")
                       ->check(decimal_check<std::uint64_t>())
                       ->type_name("CYCLES");
  text.from_option =
      app.add_option("--from", text.from,
                     "Only samples running at or after this cycle offset")
          ->check(decimal_check<std::uint64_t>())
          ->type_name("CYCLE");
  text.to_option =
      app.add_option("--to", text.to,
                     "Only samples running before this cycle offset")
          ->check(decimal_check<std::uint64_t>())
          ->type_name("CYCLE");
  text.limit_option = app.add_option("--limit", text.limit, "At most N groups")
                          ->check(decimal_check<std::size_t>())
                          ->type_name("N");
  app.add_option("--samples", text.samples,
                 "Also list the N longest samples (not in a diff)")
      ->check(decimal_check<std::size_t>())
      ->type_name("N")
      ->capture_default_str();
}

CLI::Validator threshold_check() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        if (parse_threshold(value)) return {};
        return "expected a percentage such as 5 or 2.5, got '" + shown(value) +
               "'";
      },
      "");
}

std::variant<zun_profile::Query, std::string> to_query(
    const RequestText& text) {
  std::vector<std::pair<std::string, std::string>> options = {
      {"group-by", text.group_by},
      {"sort-by", text.sort_by},
      {"samples", text.samples}};
  const auto given = [&](const CLI::Option* option, const char* name,
                         const std::string& value) {
    if (option->count() > 0) options.emplace_back(name, value);
  };
  given(text.kind_option, "kind", text.kind);
  given(text.kernel_option, "kernel", text.kernel);
  given(text.operation_option, "operation-contains", text.operation);
  given(text.key_option, "metadata-key", text.metadata_key);
  given(text.at_option, "at", text.at);
  given(text.from_option, "from", text.from);
  given(text.to_option, "to", text.to);
  given(text.limit_option, "limit", text.limit);
  for (const std::string& tile : text.tiles) options.emplace_back("tile", tile);
  for (const std::string& phase : text.phases) {
    options.emplace_back("phase", phase);
  }
  for (const std::string& entry : text.metadata) {
    options.emplace_back("metadata", entry);
  }
  // CLI11 has checked every value with the same checks: what is left are
  // faults of several values together, named here as options.
  auto query = parse_request_options(options);
  if (const auto* fault = std::get_if<std::string>(&query)) {
    if (text.to_option->count() > 0 && fault->starts_with("parameter 'to'")) {
      return std::string("--to must be past --from");
    }
    // "parameter 'NAME': ..." as "--NAME: ...".
    const std::string_view prefix = "parameter '";
    const std::size_t end = fault->find('\'', prefix.size());
    if (fault->starts_with(prefix) && end != std::string::npos) {
      return "--" + fault->substr(prefix.size(), end - prefix.size()) +
             fault->substr(end + 1);
    }
  }
  return query;
}

void add_format_option(CLI::App& app, std::string& format) {
  app.add_option("--format", format, "Output format")
      ->check(CLI::IsMember(names_of(kFormats)))
      ->capture_default_str();
}

OutputFormat format_of(const std::string& format) {
  return value_of(kFormats, format).value_or(OutputFormat::Table);
}

void add_threads_option(CLI::App& app, std::string& threads) {
  app.add_option("--threads", threads,
                 "Threads to query on (default: the machine's cores; 1: a "
                 "single pass)")
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            const auto n = decimal<unsigned>(value);
            if (n && *n >= 1 && *n <= kMaxThreads) return {};
            return "expected 1 to " + std::to_string(kMaxThreads) + ", got '" +
                   shown(value) + "'";
          },
          ""))
      ->type_name("N");
}

unsigned threads_of(const std::string& text) {
  return text.empty() ? 0u : *decimal<unsigned>(text);
}

std::optional<ExitStatus> check_inputs(const std::vector<std::string>& inputs,
                                       std::ostream& err) {
  if (std::count(inputs.begin(), inputs.end(), "-") > 1) {
    err << usage_error("standard input can be read only once") << '\n';
    return kUsageError;
  }
  return std::nullopt;
}

std::optional<ExitStatus> parse_or_exit(CLI::App& app, int argc,
                                        const char* const* argv,
                                        std::ostream& out, std::ostream& err) {
  // CLI11 takes the arguments reversed, without the program's name.
  std::vector<std::string> args;
  for (int i = argc - 1; i >= 1; --i) args.emplace_back(argv[i]);
  try {
    app.parse(args);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return ExitStatus{0};
  } catch (const CLI::CallForVersion& version) {
    out << version.what() << '\n';
    return ExitStatus{0};
  } catch (const CLI::ParseError& error) {
    err << usage_error(error.what()) << '\n';
    return kUsageError;
  }
  return std::nullopt;
}

namespace {

constexpr std::string_view kVersion = "profile-query " PROFILE_QUERY_VERSION;

}  // namespace

void set_up(CLI::App& app, std::string_view footer) {
  app.set_version_flag("--version", std::string(kVersion));
  app.footer(std::string(footer));
  app.get_formatter()->column_width(34);
}

}  // namespace profile_query::command_line
