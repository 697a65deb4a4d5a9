#pragma once

#include <span>
#include <string_view>

// The explorer page's files, compiled into the executable from cli/page/.
namespace profile_query {

struct PageFile {
  std::string_view path;          // where it is served, e.g. "/app.js"
  std::string_view content_type;  // its Content-Type
  std::string_view bytes;         // its content
};

// Every page file, index.html among them.
std::span<const PageFile> page_files();

}  // namespace profile_query
