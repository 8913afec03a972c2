# What `cmake --install` puts in place, and the packages CPack makes of it:
#
#   bin/orvex (orvex.exe)                 the command-line host
#   lib/liborvexLuaEngine.so.0.1.0        the library, SONAME liborvexLuaEngine.so.0
#     (Windows: bin/orvexLuaEngine.dll, lib/liborvexLuaEngine.dll.a, lib/orvexLuaEngine.def)
#   include/orvexLuaEngine/*.h            the public headers, flat
#   lib/cmake/orvexLuaEngine/             find_package(orvexLuaEngine CONFIG)
#   lib/pkgconfig/orvexLuaEngine.pc       pkg-config
#   share/doc/orvexLuaEngine/script-api.md  the script reference
#
# Everything is found relative to where it was installed, so an installed
# tree (or the Windows zip) can be moved as a whole. Tests, benchmarks and
# test plug-ins are never installed.
include(CMakePackageConfigHelpers)

set(ORVEX_CMAKE_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/orvexLuaEngine")
set(ORVEX_PUBLIC_HEADERS
  engine/LuaEngineInterface.h engine/OrvexExport.h engine/OrvexHost.h engine/OrvexEngine.h
  # What a host needs to install the agent's components; these two include
  # each other and LuaEngineInterface.h by plain name, so all sit in one
  # directory.
  platform/pyn/AgentComponents.h platform/pyn/Singleton.h)

install(TARGETS orvexLuaEngine EXPORT orvexLuaEngineTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${ORVEX_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvexLuaEngine)
if(WIN32)
  # The exported names, for hosts whose tools make their own import library.
  install(FILES engine/orvexLuaEngine.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# The command finds the library through a path relative to itself.
if(NOT WIN32)
  file(RELATIVE_PATH _orvex_bin_to_lib "${CMAKE_INSTALL_FULL_BINDIR}" "${CMAKE_INSTALL_FULL_LIBDIR}")
  set_target_properties(orvex PROPERTIES INSTALL_RPATH "$ORIGIN/${_orvex_bin_to_lib}")
endif()
install(TARGETS orvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/script-api.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# CMake package: orvexLuaEngine::orvexLuaEngine.
install(EXPORT orvexLuaEngineTargets NAMESPACE orvexLuaEngine::
  DESTINATION ${ORVEX_CMAKE_PACKAGE_DIR} FILE orvexLuaEngineTargets.cmake)
configure_package_config_file(cmake/orvexLuaEngineConfig.cmake.in
  "${PROJECT_BINARY_DIR}/orvexLuaEngineConfig.cmake" INSTALL_DESTINATION ${ORVEX_CMAKE_PACKAGE_DIR})
# The SONAME follows the major version, and so does compatibility.
write_basic_package_version_file("${PROJECT_BINARY_DIR}/orvexLuaEngineConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/orvexLuaEngineConfig.cmake"
  "${PROJECT_BINARY_DIR}/orvexLuaEngineConfigVersion.cmake" DESTINATION ${ORVEX_CMAKE_PACKAGE_DIR})

# pkg-config: paths relative to the .pc file's own directory.
set(_orvex_pc_dir "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH _orvex_pc_up "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" _orvex_pc_up "${_orvex_pc_up}")
set(ORVEX_PC_PREFIX "\${pcfiledir}/${_orvex_pc_up}")
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(ORVEX_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(ORVEX_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(cmake/orvexLuaEngine.pc.in "${PROJECT_BINARY_DIR}/orvexLuaEngine.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/orvexLuaEngine.pc" DESTINATION ${_orvex_pc_dir})

# Packages: `cpack -G DEB` on Linux, `cpack -G ZIP` in the Windows build.
set(CPACK_PACKAGE_NAME orvexLuaEngine)
set(CPACK_PACKAGE_VENDOR "orvexLuaEngine developers")
set(CPACK_PACKAGE_CONTACT "orvexLuaEngine developers <orvex@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lua 5.1 script engine for the host agent, with its fifteen script libraries")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME orvexluaengine)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  # Dependencies computed from the binaries by dpkg-shlibdeps, and a shlibs
  # file so that packages built against this one depend on it in turn.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
endif()
include(CPack)
