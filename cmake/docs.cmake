# SPDX-License-Identifier: MIT
# Man pages, gzipped the way Debian ships them (-n: no name or time stamp, so
# builds are reproducible), and the files every Debian package carries in
# /usr/share/doc/PACKAGE. Those go into the packages only: a plain install,
# such as a board image's, gets the programs and their man pages.

find_program(RTPROBE_GZIP gzip)
if(NOT RTPROBE_GZIP)
    message(FATAL_ERROR "gzip not found: the man pages are installed gzipped")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/doc/changelog newest LIMIT_COUNT 1)
if(NOT newest MATCHES "^rtprobe \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "doc/changelog has no entry for ${PROJECT_VERSION} on top")
endif()

# The machine-readable copyright file, with the licence text of LICENSE.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "^MIT License\n\n(Copyright \\(c\\) )?([^\n]*)\n\n" "" licence_text "${licence}")
set(copyright_holder "${CMAKE_MATCH_2}")
string(REGEX REPLACE "\n+$" "" licence_text "${licence_text}")
string(REGEX REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REGEX REPLACE "\n" "\n " licence_text " ${licence_text}")
file(WRITE ${PROJECT_BINARY_DIR}/doc/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: rtprobe

Files: *
Copyright: ${copyright_holder}
License: Expat
${licence_text}
")

function(rtprobe_gzip source output)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${PROJECT_BINARY_DIR}/doc/${name}
        COMMAND ${RTPROBE_GZIP} -9nf ${PROJECT_BINARY_DIR}/doc/${name}
        DEPENDS ${source} VERBATIM)
endfunction()
rtprobe_gzip(${PROJECT_SOURCE_DIR}/doc/changelog ${PROJECT_BINARY_DIR}/doc/changelog.gz)

# rtprobe_install_docs(COMPONENT PACKAGE PAGE...): the man pages, and the
# package's copyright and changelog.
function(rtprobe_install_docs component package)
    set(outputs ${PROJECT_BINARY_DIR}/doc/changelog.gz)
    foreach(page IN LISTS ARGN)
        get_filename_component(name ${page} NAME)
        rtprobe_gzip(${PROJECT_SOURCE_DIR}/${page} ${PROJECT_BINARY_DIR}/doc/${name}.gz)
        install(FILES ${PROJECT_BINARY_DIR}/doc/${name}.gz
                DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
        list(APPEND outputs ${PROJECT_BINARY_DIR}/doc/${name}.gz)
    endforeach()
    add_custom_target(${component}_docs ALL DEPENDS ${outputs})
    install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()
