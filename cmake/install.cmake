# Install rules: the public headers, the libraries, a CMake package
# (find_package(zun)) exporting zun::package, zun::store and zun::profile, and zun.pc.
include(CMakePackageConfigHelpers)

# The public headers only, under include/zun/ so that the generic folder
# names stay out of a shared prefix; users still write "query/query.hpp".
set(ZUN_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/zun)
install(FILES report/profile_report.hpp
  DESTINATION ${ZUN_INCLUDE_DIR}/report)
install(FILES store/report_store.hpp store/store_builder.hpp
  DESTINATION ${ZUN_INCLUDE_DIR}/store)
install(FILES query/activity.hpp query/parallel.hpp query/partial.hpp query/query.hpp query/request.hpp
  query/result.hpp
  DESTINATION ${ZUN_INCLUDE_DIR}/query)

install(TARGETS zun_package zun_store zun_profile
  EXPORT zunTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${ZUN_INCLUDE_DIR})

set(ZUN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zun)
install(EXPORT zunTargets
  NAMESPACE zun::
  DESTINATION ${ZUN_CMAKE_DIR})

configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/zunConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zunConfig.cmake
  INSTALL_DESTINATION ${ZUN_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/zunConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/zunConfig.cmake
  ${PROJECT_BINARY_DIR}/zunConfigVersion.cmake
  DESTINATION ${ZUN_CMAKE_DIR})

# Relocatable: the prefix is found from where zun.pc itself lies.
file(RELATIVE_PATH ZUN_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/zun.pc.in
  ${PROJECT_BINARY_DIR}/zun.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zun.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
