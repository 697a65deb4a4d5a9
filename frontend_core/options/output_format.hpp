#pragma once

// How an answer is written, on the command line (--format) and wherever the
// same renderings serve.
namespace profile_query {

enum class OutputFormat {
  Table,  // aligned columns for people, with a header of report figures
  Json,   // every field of the answer, in a fixed key order
  Csv,    // one row per group
};

}  // namespace profile_query
