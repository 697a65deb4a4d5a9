#include "cli/command_line.hpp"

#include <CLI/CLI.hpp>
#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

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

// Parses a decimal number with no sign, spaces or base prefix.
template <typename Number>
std::optional<Number> decimal(std::string_view text) {
  Number number{};
  if (text.empty() || text.front() < '0' || text.front() > '9')
    return std::nullopt;
  const auto result =
      std::from_chars(text.data(), text.data() + text.size(), number);
  if (result.ec != std::errc{} || result.ptr != text.data() + text.size())
    return std::nullopt;
  return number;
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
    "  profile-query report.json --kind compute --sort-by work-cycles --limit "
    "10 --samples 5\n"
    "  gzip -dc report.json.gz | profile-query - --format json\n";

}  // namespace

std::string usage_error(std::string_view what) {
  // One line like every other error, whatever the parser's text holds.
  std::string line = "profile-query: ";
  for (const char c : what) line += (c == '\n' || c == '\r') ? ' ' : c;
  while (line.back() == ' ') line.pop_back();
  return line + " (see profile-query --help)";
}

std::variant<Options, ExitStatus> parse_command_line(int argc,
                                                     const char* const* argv,
                                                     std::ostream& out,
                                                     std::ostream& err) {
  CLI::App app{
      "Answers a query about a profile report: whole-report figures, one "
      "summary row per group and, on request, the longest samples.",
      "profile-query"};
  app.set_version_flag("--version", "profile-query " PROFILE_QUERY_VERSION);
  app.footer(std::string(kFooter));
  app.get_formatter()->column_width(34);

  Options options;
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
  std::string format = "table";

  app.add_option("report", options.input,
                 "The report file (JSON), or - for standard input")
      ->required()
      ->type_name("FILE");
  app.add_option("--group-by", group_by, "What names a group")
      ->check(CLI::IsMember(names_of(kGroupings)))
      ->capture_default_str();
  app.add_option("--sort-by", sort_by, "The order of the groups")
      ->check(CLI::IsMember(names_of(kOrders)))
      ->capture_default_str();
  CLI::Option* kind_option =
      app.add_option("--kind", kind, "Only steps of this kind")
          ->check(CLI::IsMember(names_of(kKinds)));
  CLI::Option* kernel_option =
      app.add_option("--kernel", kernel,
                     "Only steps of this kernel (\"\" for none)")
          ->type_name("NAME");
  CLI::Option* operation_option =
      app.add_option("--operation-contains", operation,
                     "Only steps whose operation holds this text")
          ->type_name("TEXT");
  app.add_option("--tile", tiles,
                 "Only samples of this physical tile (repeatable)")
      ->check(decimal_check<std::uint32_t>())
      ->allow_extra_args(false)
      ->type_name("N");
  app.add_option("--phase", phases,
                 "Only steps of this phase, any epoch (repeatable)")
      ->check(decimal_check<std::uint32_t>())
      ->allow_extra_args(false)
      ->type_name("N");
  app.add_option(
         "--metadata", metadata,
         "Only steps with this metadata entry, NAME or NAME=VALUE (repeatable)")
      ->allow_extra_args(false)
      ->type_name("NAME[=VALUE]");
  CLI::Option* key_option =
      app.add_option("--metadata-key", metadata_key,
                     "The metadata name whose value labels a group")
          ->type_name("NAME");
  CLI::Option* at_option =
      app.add_option("--at", at, "Only samples running at this cycle offset")
          ->check(decimal_check<std::uint64_t>())
          ->type_name("CYCLES");
  CLI::Option* limit_option =
      app.add_option("--limit", limit, "At most N groups")
          ->check(decimal_check<std::size_t>())
          ->type_name("N");
  app.add_option("--samples", samples, "Also list the N longest samples")
      ->check(decimal_check<std::size_t>())
      ->type_name("N")
      ->capture_default_str();
  app.add_option("--format", format, "Output format")
      ->check(CLI::IsMember(names_of(kFormats)))
      ->capture_default_str();

  try {
    app.parse(argc, argv);
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

  zun_profile::Query& query = options.query;
  query.group_by = value_of(kGroupings, group_by);
  query.sort_by = value_of(kOrders, sort_by);
  if (kind_option->count() > 0) query.kind = value_of(kKinds, kind);
  if (kernel_option->count() > 0) query.kernel = kernel;
  if (operation_option->count() > 0) query.operation_contains = operation;
  for (const std::string& tile : tiles)
    query.tiles.insert(*decimal<std::uint32_t>(tile));
  for (const std::string& phase : phases)
    query.phases.insert(*decimal<std::uint32_t>(phase));
  for (const std::string& entry : metadata) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      query.metadata.push_back({entry, std::nullopt});
    } else {
      query.metadata.push_back(
          {entry.substr(0, equals), entry.substr(equals + 1)});
    }
  }
  if (key_option->count() > 0) query.metadata_key = metadata_key;
  if (at_option->count() > 0) query.at_offset = decimal<std::uint64_t>(at);
  if (limit_option->count() > 0) query.limit = decimal<std::size_t>(limit);
  query.sample_limit = *decimal<std::size_t>(samples);
  options.format = value_of(kFormats, format);
  return options;
}

}  // namespace profile_query
