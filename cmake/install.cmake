# Installation: headers, the static and the shared library, a CMake package
# (tavrel_mmp::tavrel_mmp, tavrel_mmp::tavrel_mmp_shared) and pkg-config modules: tavrel_mmp
# (static), tavrel_mmp_shared (the C++ facade of the shared library) and tavrel_mmp_c (its C
# interface, which needs no other module). Only the library is installed; tools, tests,
# benchmarks and examples are not. The test clocks are an install component of their own
# ("testing"): their header, library, CMake target (tavrel_mmp::tavrel_mmp_testing) and
# pkg-config file.
include(CMakePackageConfigHelpers)
set(TAVREL_MMP_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tavrel_mmp)

# One export set per flavour, so that a host of one flavour needs only that flavour's
# dependencies (the package's components: static, shared, testing).
install(TARGETS tavrel_mmp EXPORT tavrel_mmpStaticTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS tavrel_mmp_shared EXPORT tavrel_mmpSharedTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/tavrel_mmp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h" PATTERN "testing" EXCLUDE)
install(FILES ${TAVREL_MMP_GENERATED_INCLUDE_DIR}/tavrel_mmp/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tavrel_mmp)
foreach(flavour Static Shared)
  install(EXPORT tavrel_mmp${flavour}Targets NAMESPACE tavrel_mmp::
    DESTINATION ${TAVREL_MMP_CMAKE_DIR})
endforeach()

install(TARGETS tavrel_mmp_testing EXPORT tavrel_mmp_testingTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT testing)
install(DIRECTORY include/tavrel_mmp/testing DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tavrel_mmp
  COMPONENT testing FILES_MATCHING PATTERN "*.h")
install(EXPORT tavrel_mmp_testingTargets NAMESPACE tavrel_mmp::
  DESTINATION ${TAVREL_MMP_CMAKE_DIR} COMPONENT testing)

configure_package_config_file(cmake/tavrel_mmpConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/tavrel_mmpConfig.cmake
  INSTALL_DESTINATION ${TAVREL_MMP_CMAKE_DIR})
# Before 1.0 a minor release may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tavrel_mmpConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/tavrel_mmpConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/tavrel_mmpConfigVersion.cmake
  DESTINATION ${TAVREL_MMP_CMAKE_DIR})

# The .pc file finds its prefix from its own place, so the installed tree can be moved (or
# staged with `cmake --install --prefix`) without rewriting it.
set(TAVREL_MMP_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${TAVREL_MMP_PC_DIR}")
  set(TAVREL_MMP_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH pc_to_prefix "/prefix/${TAVREL_MMP_PC_DIR}" "/prefix")
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  set(TAVREL_MMP_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(TAVREL_MMP_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(TAVREL_MMP_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
foreach(module tavrel_mmp tavrel_mmp_shared tavrel_mmp_c)
  configure_file(cmake/${module}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${module}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${module}.pc DESTINATION ${TAVREL_MMP_PC_DIR})
endforeach()
configure_file(cmake/tavrel_mmp_testing.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tavrel_mmp_testing.pc
  @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tavrel_mmp_testing.pc DESTINATION ${TAVREL_MMP_PC_DIR}
  COMPONENT testing)
