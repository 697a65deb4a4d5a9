#include "cli/options/command_line.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/options/decimal.hpp"
#include "cli/serve/access.hpp"
#include "cli/diff/diff.hpp"
#include "cli/message_text.hpp"

#ifndef PROFILE_QUERY_VERSION
#define PROFILE_QUERY_VERSION "unknown"
#endif

namespace profile_query {
namespace {

constexpr std::array<std::pair<std::string_view, zun_profile::GroupBy>, 6>
    kGroupings = {{
        {"kind", zun_profile::GroupBy::Kind},
        {"kernel", zun_profile::GroupBy::Kernel},
        {"operation", zun_profile::GroupBy::Operation},
        {"phase", zun_profile::GroupBy::Phase},
        {"tile", zun_profile::GroupBy::Tile},
        {"metadata", zun_profile::GroupBy::Metadata},
    }};

constexpr std::array<std::pair<std::string_view, zun_profile::SortBy>, 5>
    kOrders = {{
        {"phase-cycles", zun_profile::SortBy::PhaseCycles},
        {"work-cycles", zun_profile::SortBy::WorkCycles},
        {"maximum-cycles", zun_profile::SortBy::MaximumCycles},
        {"samples", zun_profile::SortBy::Samples},
        {"name", zun_profile::SortBy::Name},
    }};

constexpr std::array<std::pair<std::string_view, zun_profile::StepKind>, 4>
    kKinds = {{
        {"exchange", zun_profile::StepKind::Exchange},
        {"compute", zun_profile::StepKind::Compute},
        {"synchronization", zun_profile::StepKind::Synchronization},
        {"idle", zun_profile::StepKind::Idle},
    }};

constexpr std::array<std::pair<std::string_view, OutputFormat>, 3> kFormats = {{
    {"table", OutputFormat::Table},
    {"json", OutputFormat::Json},
    {"csv", OutputFormat::Csv},
}};

// The names of a table, for CLI11's membership check.
template <typename Table>
std::vector<std::string> names_of(const Table& table) {
  std::vector<std::string> names;
  for (const auto& [name, value] : table) names.emplace_back(name);
  return names;
}

// The value of a name that the membership check has already accepted.
template <typename Table>
auto value_of(const Table& table, const std::string& name) {
  for (const auto& [known, value] : table) {
    if (known == name) return value;
  }
  return table.front().second;
}

// A CLI11 check that a value is a decimal number that fits `Number`.
template <typename Number>
CLI::Validator decimal_check() {
  const std::string range =
      "0 to " + std::to_string(std::numeric_limits<Number>::max());
  return CLI::Validator(
      [range](std::string& text) -> std::string {
        if (decimal<Number>(text)) return {};
        return "expected a whole number from " + range + ", got '" + text + "'";
      },
      "");
}

constexpr std::string_view kFooter =
    "Examples:\n"
    "  profile-query report.json --group-by phase\n"
    "  profile-query report.zun --group-by operation\n"
    "  profile-query report.json --kind compute --sort-by work-cycles --limit "
    "10 --samples 5\n"
    "  gzip -dc report.json.gz | profile-query - --format json\n"
    "  profile-query chip0.zun chip1.zun --group-by phase --threads 2\n"
    "  profile-query serve report.json\n"
    "  profile-query diff base.json new.json --fail-above 5\n";

}  // namespace

std::string usage_error(std::string_view what) {
  // One line like every other error, whatever the parser's text holds.
  std::string line = "profile-query: ";
  for (const char c : what) line += (c == '\n' || c == '\r') ? ' ' : c;
  while (line.back() == ' ') line.pop_back();
  return line + " (see profile-query --help)";
}

namespace {

// The request options as typed, before they become a Query.
struct RequestText {
  std::string group_by = "kernel";
  std::string sort_by = "phase-cycles";
  std::string kind;
  std::string kernel;
  std::string operation;
  std::vector<std::string> tiles;
  std::vector<std::string> phases;
  std::vector<std::string> metadata;
  std::string metadata_key;
  std::string at;
  std::string limit;
  std::string samples = "0";
  // The options whose absence means "no filter" rather than a default.
  CLI::Option* kind_option = nullptr;
  CLI::Option* kernel_option = nullptr;
  CLI::Option* operation_option = nullptr;
  CLI::Option* key_option = nullptr;
  CLI::Option* at_option = nullptr;
  CLI::Option* limit_option = nullptr;
};

// One option per field of the request, with its check.
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
                 "Only samples of this physical tile (repeatable)")
      ->check(decimal_check<std::uint32_t>())
      ->allow_extra_args(false)
      ->type_name("N");
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
  text.limit_option = app.add_option("--limit", text.limit, "At most N groups")
                          ->check(decimal_check<std::size_t>())
                          ->type_name("N");
  app.add_option("--samples", text.samples,
                 "Also list the N longest samples (not in a diff)")
      ->check(decimal_check<std::size_t>())
      ->type_name("N")
      ->capture_default_str();
}

void add_format_option(CLI::App& app, std::string& format) {
  app.add_option("--format", format, "Output format")
      ->check(CLI::IsMember(names_of(kFormats)))
      ->capture_default_str();
}

// The request the parsed options spell; every value has passed its check.
zun_profile::Query to_query(const RequestText& text) {
  zun_profile::Query query;
  query.group_by = value_of(kGroupings, text.group_by);
  query.sort_by = value_of(kOrders, text.sort_by);
  if (text.kind_option->count() > 0) query.kind = value_of(kKinds, text.kind);
  if (text.kernel_option->count() > 0) query.kernel = text.kernel;
  if (text.operation_option->count() > 0)
    query.operation_contains = text.operation;
  for (const std::string& tile : text.tiles)
    query.tiles.insert(*decimal<std::uint32_t>(tile));
  for (const std::string& phase : text.phases)
    query.phases.insert(*decimal<std::uint32_t>(phase));
  for (const std::string& entry : text.metadata) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      query.metadata.push_back({entry, std::nullopt});
    } else {
      query.metadata.push_back(
          {entry.substr(0, equals), entry.substr(equals + 1)});
    }
  }
  if (text.key_option->count() > 0) query.metadata_key = text.metadata_key;
  if (text.at_option->count() > 0)
    query.at_offset = decimal<std::uint64_t>(text.at);
  if (text.limit_option->count() > 0)
    query.limit = decimal<std::size_t>(text.limit);
  query.sample_limit = *decimal<std::size_t>(text.samples);
  return query;
}

// --threads, the same on every command that queries.
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

// Standard input can be only one of several reports.
std::optional<ExitStatus> check_inputs(const std::vector<std::string>& inputs,
                                       std::ostream& err) {
  if (std::count(inputs.begin(), inputs.end(), "-") > 1) {
    err << usage_error("standard input can be read only once") << '\n';
    return kUsageError;
  }
  return std::nullopt;
}

// Parses `args` (the program name first) with `app`, reporting help,
// version and usage errors as parse_command_line does.
std::optional<ExitStatus> parse_or_exit(CLI::App& app,
                                        std::vector<std::string> args,
                                        std::ostream& out, std::ostream& err) {
  try {
    std::reverse(args.begin(), args.end());
    args.pop_back();  // the program's name
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

std::vector<std::string> arguments(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i]);
  return args;
}

constexpr std::string_view kVersion = "profile-query " PROFILE_QUERY_VERSION;

// What every command's parser shares: --version, the footer under the
// help, and the width of the help's option column.
void set_up(CLI::App& app, std::string_view footer) {
  app.set_version_flag("--version", std::string(kVersion));
  app.footer(std::string(footer));
  app.get_formatter()->column_width(34);
}

}  // namespace

std::variant<Options, ExitStatus> parse_command_line(int argc,
                                                     const char* const* argv,
                                                     std::ostream& out,
                                                     std::ostream& err) {
  CLI::App app{
      "Answers a query about a profile report: whole-report figures, one "
      "summary row per group and, on request, the longest samples.\n"
      "  profile-query serve REPORT [--host H] [--port P] explores one in a "
      "browser instead (see profile-query serve --help).\n"
      "  profile-query diff BASE NEW [options] compares two runs (see "
      "profile-query diff --help).\n"
      "  profile-query convert INPUT... -o OUT.zun writes a store, which "
      "every command opens in milliseconds.\n"
      "  profile-query export REPORT -o OUT.json writes a report as JSON.",
      "profile-query"};
  set_up(app, kFooter);

  Options options;
  RequestText text;
  std::string format = "table";
  std::string threads;
  app.add_option("report", options.inputs,
                 "The report: a store or JSON file, or - for standard input; "
                 "several are shards of one report, in tile order")
      ->required()
      ->type_name("FILE");
  add_request_options(app, text);
  add_format_option(app, format);
  add_threads_option(app, threads);

  if (auto status = parse_or_exit(app, arguments(argc, argv), out, err))
    return *status;
  if (auto status = check_inputs(options.inputs, err)) return *status;
  options.threads = threads_of(threads);
  options.query = to_query(text);
  options.format = value_of(kFormats, format);
  return options;
}

std::variant<ServeOptions, ExitStatus> parse_serve_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "Loads a profile report once and serves a page to explore it in a "
      "browser, with its JSON API, until interrupted (Ctrl-C).",
      "profile-query serve"};
  set_up(app,
         "Examples:\n"
         "  profile-query serve report.json\n"
         "  profile-query serve report.json --port 9000\n"
         "Listens on the loopback address only unless --host names another;\n"
         "then it makes a random token and answers only requests that carry\n"
         "it: the address it prints does (?token=...), and the page keeps it.\n");

  ServeOptions options;
  std::string port = std::to_string(options.port);
  std::string threads;
  app.add_option("report", options.inputs,
                 "The report: a store or JSON file, or - for standard input; "
                 "several are shards of one report, in tile order")
      ->required()
      ->type_name("FILE");
  add_threads_option(app, threads);
  app.add_option("--host", options.host,
                 "The address to listen on (0.0.0.0 for every interface)")
      ->capture_default_str();
  app.add_option("--port", port, "The port to listen on (0 picks a free one)")
      ->check(decimal_check<std::uint16_t>())
      ->capture_default_str();
  std::string token;
  CLI::Option* token_option =
      app.add_option("--token", token,
                     "The token requests must carry (8 to 256 of A-Z a-z "
                     "0-9 . _ ~ -)")
          ->type_name("TEXT")
          ->check(
              [](const std::string& text) {
                return is_valid_token(text)
                           ? std::string()
                           : std::string("expected 8 to 256 of A-Z a-z 0-9 . "
                                         "_ ~ -");
              },
              "TOKEN");
  app.add_flag("--no-token", options.no_token,
               "Beyond loopback, serve without a token (anyone who reaches "
               "the port reads the profile)")
      ->excludes(token_option);

  if (auto status = parse_or_exit(app, arguments(argc, argv), out, err))
    return *status;
  if (auto status = check_inputs(options.inputs, err)) return *status;
  options.threads = threads_of(threads);
  options.port = *decimal<std::uint16_t>(port);
  if (token_option->count() > 0) options.token = token;
  return options;
}

std::variant<ConvertOptions, ExitStatus> parse_convert_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "Writes a report store: the compact form of a report, which every "
      "command opens in milliseconds. Several inputs make one report, the "
      "tiles of each following the previous one's.",
      "profile-query convert"};
  set_up(app,
         "The store is written beside OUTPUT under a temporary name and "
         "renamed only when complete: a failed or interrupted conversion "
         "leaves no file, and an existing OUTPUT as it was.\n\n"
         "Examples:\n"
         "  profile-query convert report.json -o report.zun\n"
         "  profile-query convert chip0.json chip1.json -o run.zun\n");
  ConvertOptions options;
  app.add_option("inputs", options.inputs,
                 "The reports: JSON files or stores, - for standard input")
      ->required()
      ->type_name("FILE...");
  app.add_option("-o,--output", options.output, "The store file to write")
      ->required()
      ->type_name("OUTPUT");
  if (auto status = parse_or_exit(app, arguments(argc, argv), out, err))
    return *status;
  if (options.output == "-") {
    err << usage_error("a store is written to a file, not to standard output")
        << '\n';
    return kUsageError;
  }
  if (std::count(options.inputs.begin(), options.inputs.end(), "-") > 1) {
    err << usage_error("standard input can be read only once") << '\n';
    return kUsageError;
  }
  return options;
}

std::variant<ExportOptions, ExitStatus> parse_export_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Writes a report (a store, or JSON) as a JSON report.",
               "profile-query export"};
  set_up(app,
         "Examples:\n"
         "  profile-query export report.zun -o report.json\n"
         "  profile-query export report.zun -o - | head\n"
         "  profile-query export report.zun --trace-events --from 0 --to 50000 "
         "--tile 3 -o trace.json\n");
  ExportOptions options;
  app.add_option("report", options.input,
                 "The report: a store or JSON, - for standard input")
      ->required()
      ->type_name("FILE");
  app.add_option("-o,--output", options.output,
                 "The JSON file to write, - for standard output")
      ->required()
      ->type_name("OUT.json");
  CLI::Option* trace = app.add_flag(
      "--trace-events", options.trace_events,
      "Write the samples as Trace Event Format JSON, for timeline viewers");
  std::string from;
  std::string to;
  std::vector<std::string> tiles;
  CLI::Option* from_option =
      app.add_option("--from", from, "Only samples running at or after this cycle offset")
          ->check(decimal_check<std::uint64_t>())
          ->type_name("CYCLE")
          ->needs(trace);
  CLI::Option* to_option =
      app.add_option("--to", to, "Only samples running before this cycle offset")
          ->check(decimal_check<std::uint64_t>())
          ->type_name("CYCLE")
          ->needs(trace);
  app.add_option("--tile", tiles, "Only this physical tile (repeatable)")
      ->check(decimal_check<std::uint32_t>())
      ->allow_extra_args(false)
      ->type_name("N")
      ->needs(trace);
  app.add_flag("--force", options.force,
               "Write a window of more than 5000000 samples all the same")
      ->needs(trace);
  if (auto status = parse_or_exit(app, arguments(argc, argv), out, err))
    return *status;
  if (from_option->count() > 0) options.from = *decimal<std::uint64_t>(from);
  if (to_option->count() > 0) options.to = decimal<std::uint64_t>(to);
  if (options.to && *options.to <= options.from) {
    err << usage_error("--to must be past --from") << '\n';
    return kUsageError;
  }
  for (const std::string& tile : tiles)
    options.tiles.push_back(*decimal<std::uint32_t>(tile));
  return options;
}

std::variant<DiffOptions, ExitStatus> parse_diff_command_line(
    int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "Compares two runs: the same request on a base report and a new one, "
      "groups matched by name, ordered by the change of the sort key "
      "(phase cycles unless --sort-by says otherwise).",
      "profile-query diff"};
  set_up(app,
         "Exit status: 0 when the reports were compared (and the gate, if any, "
         "held), 1 when a report cannot be read, 2 for a usage error, 3 when "
         "--fail-above finds a regression.\n\n"
         "Examples:\n"
         "  profile-query diff base.json new.json\n"
         "  profile-query diff base.json new.json --group-by phase --limit 10\n"
         "  profile-query diff base.json new.json --fail-above 5\n"
         "  profile-query diff --base a0.zun --base a1.zun --new b0.zun --new "
         "b1.zun\n");

  DiffOptions options;
  RequestText text;
  std::string format = "table";
  std::string fail_above;
  std::vector<std::string> reports;
  std::string threads;
  app.add_option("reports", reports,
                 "The base report and the new one (stores or JSON), - for "
                 "standard input")
      ->expected(0, 2)
      ->type_name("BASE NEW");
  app.add_option("--base", options.base,
                 "A shard of the base report, in tile order (repeatable; "
                 "instead of BASE NEW, with --new)")
      ->allow_extra_args(false)
      ->type_name("FILE");
  app.add_option("--new", options.after,
                 "A shard of the new report, in tile order (repeatable)")
      ->allow_extra_args(false)
      ->type_name("FILE");
  add_request_options(app, text);
  add_format_option(app, format);
  add_threads_option(app, threads);
  CLI::Option* gate =
      app.add_option("--fail-above", fail_above,
                     "Exit 3 when a group's sort key grew by more than PCT "
                     "percent, or an added group exceeds PCT percent of the "
                     "base's total")
          ->check(CLI::Validator(
              [](std::string& value) -> std::string {
                if (parse_threshold(value)) return {};
                return "expected a percentage such as 5 or 2.5, got '" +
                       shown(value) + "'";
              },
              ""))
          ->type_name("PCT");

  if (auto status = parse_or_exit(app, arguments(argc, argv), out, err))
    return *status;
  if (!reports.empty()) {
    if (reports.size() != 2 || !options.base.empty() || !options.after.empty()) {
      err << usage_error("give the two reports as BASE NEW, or their shards "
                         "as --base and --new, not both")
          << '\n';
      return kUsageError;
    }
    options.base = {reports[0]};
    options.after = {reports[1]};
  } else if (options.base.empty() || options.after.empty()) {
    err << usage_error("a diff needs a base report and a new one (BASE NEW, "
                       "or --base and --new)")
        << '\n';
    return kUsageError;
  }
  std::vector<std::string> every = options.base;
  every.insert(every.end(), options.after.begin(), options.after.end());
  if (std::count(every.begin(), every.end(), "-") > 1) {
    err << usage_error("only one of the two reports can be standard input")
        << '\n';
    return kUsageError;
  }
  options.threads = threads_of(threads);
  options.query = to_query(text);
  options.format = value_of(kFormats, format);
  if (gate->count() > 0) options.fail_above = parse_threshold(fail_above);
  return options;
}

std::variant<zun_profile::Query, std::string> parse_request_options(
    std::span<const std::pair<std::string, std::string>> options) {
  constexpr std::array<std::string_view, 3> kRepeatable = {"tile", "phase",
                                                           "metadata"};
  RequestText text;
  CLI::App app;
  app.set_help_flag();  // no --help among the parameters
  add_request_options(app, text);
  std::set<std::string> seen;
  std::vector<std::string> args;
  for (const auto& [name, value] : options) {
    const std::string dashed = "--" + name;
    if (name.empty() || name.front() == '-' ||
        app.get_option_no_throw(dashed) == nullptr) {
      return "unknown parameter '" + shown(name) + "'";
    }
    const bool repeatable = std::find(kRepeatable.begin(), kRepeatable.end(),
                                      name) != kRepeatable.end();
    if (!seen.insert(name).second && !repeatable) {
      return "parameter '" + name + "' is given more than once";
    }
    // Checked one by one, so that a fault names its own parameter.
    RequestText alone;
    CLI::App check;
    check.set_help_flag();
    add_request_options(check, alone);
    // "--name=value" keeps a value that starts with '-' a value; an empty
    // one (kernel= for steps without kernel) must stand apart.
    std::vector<std::string> arg = {dashed + "=" + value};
    if (value.empty()) arg = {"", dashed};  // reversed, as CLI11 reads them
    try {
      check.parse(std::vector<std::string>(arg));  // parse() consumes it
    } catch (const CLI::ParseError& error) {
      // CLI11 starts with the option's name; the parameter's replaces it.
      std::string_view what = error.what();
      if (what.starts_with(dashed + ": "))
        what.remove_prefix(dashed.size() + 2);
      return "parameter '" + name + "': " + std::string(what);
    }
    args.insert(args.end(), arg.rbegin(), arg.rend());
  }
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
  } catch (const CLI::ParseError& error) {
    return error.what();
  }
  return to_query(text);
}

}  // namespace profile_query
