# What turns the build into an installed desktop tool and a Debian package: the icon in the
# hicolor sizes, the manual pages, the package's documentation files, and the CPack settings.
# The programs and the desktop entry are installed by their own folders (app/, sim/).
#
#   cmake --install <build> --prefix /usr/local      install by hand
#   cd <build> && cpack -G DEB                        democomm_<version>_amd64.deb
#
# Included from the top-level CMakeLists.txt after the program folders.

set(DEMOCOMM_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(DEMOCOMM_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)

# The icon: the 64x64 picture is installed as it is by app/; the other hicolor sizes are
# made from it at build time, so there is one picture to change.
find_package(Qt6 REQUIRED COMPONENTS Gui)
add_executable(democomm-iconsizes ${DEMOCOMM_PACKAGING_DIR}/iconsizes.cpp)
# A build tool: no sanitizers (it runs during the build), warnings as everywhere.
target_compile_options(democomm-iconsizes PRIVATE -Wall -Wextra)
target_link_libraries(democomm-iconsizes PRIVATE Qt6::Gui)
set_target_properties(democomm-iconsizes PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)

set(democomm_icon_sizes 16 32 48 128 256)
set(democomm_icon_source ${CMAKE_SOURCE_DIR}/resources/pictures/democomm.png)
set(democomm_icon_outputs)
foreach(size ${democomm_icon_sizes})
  list(APPEND democomm_icon_outputs ${DEMOCOMM_PACKAGING_OUT}/icons/${size}x${size}/apps/democomm.png)
endforeach()
add_custom_command(OUTPUT ${democomm_icon_outputs}
  COMMAND democomm-iconsizes ${democomm_icon_source} ${DEMOCOMM_PACKAGING_OUT}/icons ${democomm_icon_sizes}
  DEPENDS democomm-iconsizes ${democomm_icon_source}
  COMMENT "Icon in the hicolor sizes"
  VERBATIM)

# Manual pages (with this version filled in) and the package's changelog, compressed as
# Debian wants them (-n: no name or time stamp inside, so the package is reproducible).
set(democomm_gzipped)
foreach(page democomm.1 democomm-sim.1 democomm-cli.1)
  configure_file(${DEMOCOMM_PACKAGING_DIR}/man/${page} ${DEMOCOMM_PACKAGING_OUT}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${DEMOCOMM_PACKAGING_OUT}/man/${page}.gz
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${DEMOCOMM_PACKAGING_OUT}/man/${page}
            ${DEMOCOMM_PACKAGING_OUT}/man/${page}.gz
    DEPENDS ${DEMOCOMM_PACKAGING_OUT}/man/${page}
    VERBATIM)
  list(APPEND democomm_gzipped ${DEMOCOMM_PACKAGING_OUT}/man/${page}.gz)
endforeach()
add_custom_command(OUTPUT ${DEMOCOMM_PACKAGING_OUT}/doc/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${DEMOCOMM_PACKAGING_OUT}/doc
  COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${DEMOCOMM_PACKAGING_DIR}/changelog
          ${DEMOCOMM_PACKAGING_OUT}/doc/changelog.gz
  DEPENDS ${DEMOCOMM_PACKAGING_DIR}/changelog
  VERBATIM)
list(APPEND democomm_gzipped ${DEMOCOMM_PACKAGING_OUT}/doc/changelog.gz)

add_custom_target(democomm_install_files ALL DEPENDS ${democomm_icon_outputs} ${democomm_gzipped})

# The changelog's newest entry must be this version, or lintian refuses the package.
file(STRINGS ${DEMOCOMM_PACKAGING_DIR}/changelog democomm_changelog_top LIMIT_COUNT 1)
if(NOT democomm_changelog_top MATCHES "^democomm \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/changelog: the newest entry is not version ${PROJECT_VERSION}")
endif()

# The AppStream metainfo (what software centres list): this version, released on the date of
# the changelog's newest entry (" -- NAME <MAIL>  Sun, 06 Dec 2026 08:00:00 +0000").
file(STRINGS ${DEMOCOMM_PACKAGING_DIR}/changelog democomm_changelog_trailer REGEX "^ -- " LIMIT_COUNT 1)
if(democomm_changelog_trailer MATCHES ", ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  set(democomm_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(FIND democomm_months ${CMAKE_MATCH_2} democomm_month)
  math(EXPR democomm_month "${democomm_month} + 1")
  math(EXPR democomm_day "${CMAKE_MATCH_1}")
  string(LENGTH "${democomm_month}" democomm_month_digits)
  string(LENGTH "${democomm_day}" democomm_day_digits)
  if(democomm_month_digits EQUAL 1)
    set(democomm_month "0${democomm_month}")
  endif()
  if(democomm_day_digits EQUAL 1)
    set(democomm_day "0${democomm_day}")
  endif()
  set(DEMOCOMM_RELEASE_DATE "${CMAKE_MATCH_3}-${democomm_month}-${democomm_day}")
else()
  message(FATAL_ERROR "packaging/changelog: no date in the newest entry's trailer line")
endif()
set(DEMOCOMM_METAINFO ${DEMOCOMM_PACKAGING_OUT}/org.example.democomm.metainfo.xml)
configure_file(${DEMOCOMM_PACKAGING_DIR}/org.example.democomm.metainfo.xml.in ${DEMOCOMM_METAINFO} @ONLY)
install(FILES ${DEMOCOMM_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

foreach(size ${democomm_icon_sizes})
  install(FILES ${DEMOCOMM_PACKAGING_OUT}/icons/${size}x${size}/apps/democomm.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES ${DEMOCOMM_PACKAGING_OUT}/man/democomm.1.gz ${DEMOCOMM_PACKAGING_OUT}/man/democomm-sim.1.gz
              ${DEMOCOMM_PACKAGING_OUT}/man/democomm-cli.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${DEMOCOMM_PACKAGING_DIR}/copyright ${DEMOCOMM_PACKAGING_OUT}/doc/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME democomm)
set(CPACK_PACKAGE_VENDOR "democomm developers")
set(CPACK_PACKAGE_CONTACT "democomm developers <democomm@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # democomm_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Modbus RTU master test tool for a synchronising device")
# The extended description; CPack puts the summary above it and indents every line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "democomm (通讯演示) tests the Modbus RTU serial interface of an automatic
quasi-synchronisation measuring and control device for generating units. It
reads working data and set-points (function 03) and the switch and alarm
states (function 02), writes registers (functions 06 and 10 hex), and logs
every frame sent and received. Its user interface is in Simplified Chinese.

The package also holds democomm-sim, a simulated device on a pseudo-terminal,
for trying the tool without the hardware.

To open /dev/ttyS* and /dev/ttyUSB* the user must be in the group dialout.")
# Qt 6 and the C++ runtime found by dpkg-shlibdeps; the window texts need a font with
# Chinese glyphs, which no library dependency brings in.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
