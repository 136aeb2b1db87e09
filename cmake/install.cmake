# What `cmake --install` lays out: the header, the library with TeleDescFile.bin beside it, the
# tools, a CMake package (find_package(ZentrelSignal), target ZentrelSignal::ZentrelSignal) and
# a pkg-config file (zentrel-signal). Shipped binaries are stripped; their symbols stay in
# .debug/NAME.debug beside them. `cpack` packs the same tree (a zip on Windows).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# On Windows the DLL, its description file and the tools share one folder, as hosts expect.
if(WIN32)
  set(ZS_INSTALL_LIBRARY_DIR ${CMAKE_INSTALL_BINDIR})
else()
  set(ZS_INSTALL_LIBRARY_DIR ${CMAKE_INSTALL_LIBDIR})
endif()

target_include_directories(ZentrelSignal INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS ZentrelSignal EXPORT ZentrelSignalTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/zentrel_signal.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${ZS_OUT}/TeleDescFile.bin DESTINATION ${ZS_INSTALL_LIBRARY_DIR})
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/src/ZentrelSignal.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(ZS_MSVC_IMPORT_LIB)
    install(FILES ${ZS_MSVC_IMPORT_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endif()

# Linux: the udev rule that lets users reach the USB instruments without root.
if(NOT WIN32)
  set(ZS_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
      "Where `cmake --install` puts the udev rule (relative: under the prefix)")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-zentrel-signal.rules DESTINATION ${ZS_UDEV_RULES_DIR})
endif()

set(zs_shipped ZentrelSignal)
if(ZS_BUILD_TOOLS)
  install(TARGETS zsig zsdesc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # zsig loads the library by name: from bin/ the installed one is in ../lib.
  set_target_properties(zsig PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  list(APPEND zs_shipped zsig zsdesc)
endif()

install(EXPORT ZentrelSignalTargets NAMESPACE ZentrelSignal::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZentrelSignal)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/package/ZentrelSignalConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/ZentrelSignalConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZentrelSignal)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/ZentrelSignalConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/ZentrelSignalConfig.cmake
              ${CMAKE_BINARY_DIR}/package/ZentrelSignalConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ZentrelSignal)
configure_file(${PROJECT_SOURCE_DIR}/cmake/package/zentrel-signal.pc.in
               ${CMAKE_BINARY_DIR}/package/zentrel-signal.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/zentrel-signal.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(CMAKE_OBJCOPY AND CMAKE_STRIP)
  foreach(target ${zs_shipped})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY" AND NOT WIN32)
      set(dir ${CMAKE_INSTALL_LIBDIR})
    else()
      set(dir ${CMAKE_INSTALL_BINDIR})
    endif()
    set(symbols_option "")
    if(WIN32)
      # Windows users get the symbols in a zip of their own, the `symbols` component: both
      # components take them from the built binary, whichever is installed first.
      set(symbols ${CMAKE_BINARY_DIR}/symbols/$<TARGET_FILE_NAME:${target}>.debug)
      set(symbols_option -DSYMBOLS=${symbols} -DUNSTRIPPED=$<TARGET_FILE:${target}>)
      install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\"
        -DUNSTRIPPED=$<TARGET_FILE:${target}> -DOBJCOPY=${CMAKE_OBJCOPY}
        -DSYMBOLS=\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}/.debug/$<TARGET_FILE_NAME:${target}>.debug
        -P ${PROJECT_SOURCE_DIR}/cmake/strip_with_symbols.cmake COMMAND_ERROR_IS_FATAL ANY)"
        COMPONENT symbols)
    endif()
    install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\"
      -DBINARY=\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}/$<TARGET_FILE_NAME:${target}>
      -DOBJCOPY=${CMAKE_OBJCOPY} -DSTRIP=${CMAKE_STRIP} ${symbols_option}
      -P ${PROJECT_SOURCE_DIR}/cmake/strip_with_symbols.cmake COMMAND_ERROR_IS_FATAL ANY)")
  endforeach()
endif()

set(CPACK_PACKAGE_NAME ZentrelSignal)
set(CPACK_PACKAGE_VENDOR ZentrelSignal)
if(WIN32)
  math(EXPR zs_width "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ZentrelSignal-${PROJECT_VERSION}-win${zs_width})
  # Two zips: what a user installs, and the debug symbols apart from it.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Unspecified symbols)
  set(CPACK_ARCHIVE_UNSPECIFIED_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
  set(CPACK_ARCHIVE_SYMBOLS_FILE_NAME ${CPACK_PACKAGE_FILE_NAME}-symbols)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME ZentrelSignal-${PROJECT_VERSION}-linux-x86_64)
endif()
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
