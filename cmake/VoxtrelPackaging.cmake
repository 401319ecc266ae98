# What `make install` puts under the prefix: libvoxtrel (shared and static) with its header, the
# CMake package and pkg-config files, the Python package beside a link to the shared library,
# and the voxtrel command where the build has it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VOXTREL_PYTHON_DIR "lib/python3/dist-packages" CACHE STRING
    "Where the Python package goes, relative to the prefix")
set(VOXTREL_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/Voxtrel")

install(TARGETS voxtrel_shared voxtrel_static EXPORT VoxtrelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/voxtrel/voxtrel.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/voxtrel)

install(EXPORT VoxtrelTargets NAMESPACE Voxtrel:: DESTINATION ${VOXTREL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VoxtrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VoxtrelConfig.cmake INSTALL_DESTINATION ${VOXTREL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VoxtrelConfigVersion.cmake
  VERSION ${VOXTREL_API_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VoxtrelConfig.cmake
              ${PROJECT_BINARY_DIR}/VoxtrelConfigVersion.cmake
        DESTINATION ${VOXTREL_CMAKE_DIR})

file(RELATIVE_PATH VOXTREL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/voxtrel.pc.in ${PROJECT_BINARY_DIR}/voxtrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/voxtrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The package finds libvoxtrel in its own folder first: a relative link there keeps the
# installed tree movable.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/voxtrel DESTINATION ${VOXTREL_PYTHON_DIR}
        FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "*.html" PATTERN "*.css" PATTERN "*.js"
        PATTERN "__pycache__" EXCLUDE)
if(NOT WIN32)
  file(RELATIVE_PATH VOXTREL_PYTHON_TO_LIB /prefix/${VOXTREL_PYTHON_DIR}/voxtrel
       /prefix/${CMAKE_INSTALL_LIBDIR})
  install(CODE "
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VOXTREL_PYTHON_DIR}/voxtrel/$<TARGET_SONAME_FILE_NAME:voxtrel_shared>\")
    message(STATUS \"Installing: \${link}\")
    file(CREATE_LINK \"${VOXTREL_PYTHON_TO_LIB}/$<TARGET_SONAME_FILE_NAME:voxtrel_shared>\" \"\${link}\" SYMBOLIC)")
endif()

# The voxtrel command is defined by tools/, which may be added after this file is read.
function(voxtrel_install_command)
  if(TARGET voxtrel)
    install(TARGETS voxtrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endfunction()
cmake_language(DEFER CALL voxtrel_install_command)
