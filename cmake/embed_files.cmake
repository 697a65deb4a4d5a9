# Writes OUTPUT, a C++ source that holds the files of FILES (a ;-list of
# paths under BASE) as byte arrays, for profile_query::page_files(). Run with
# cmake -P at build time, so that the page's files are compiled in and never
# read from disk by the running program.
set(entries "")
set(arrays "")
set(index 0)
foreach(path IN LISTS FILES)
  file(RELATIVE_PATH name "${BASE}" "${path}")
  get_filename_component(extension "${path}" LAST_EXT)
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".svg")
    set(type "image/svg+xml")
  else()
    message(FATAL_ERROR "no content type for ${path}")
  endif()
  file(READ "${path}" bytes HEX)
  string(LENGTH "${bytes}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
  string(APPEND arrays "constexpr char kFile${index}[] = {${bytes} '\\0'};\n")
  string(APPEND entries
    "    {\"/${name}\", \"${type}\", std::string_view(kFile${index}, ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Generated from the page's files; do not edit.
#include \"cli/serve/page_files.hpp\"

namespace profile_query {
namespace {
${arrays}
constexpr PageFile kFiles[] = {
${entries}};
}  // namespace

std::span<const PageFile> page_files() { return kFiles; }

}  // namespace profile_query
")
# Only a changed page rebuilds what depends on it.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
