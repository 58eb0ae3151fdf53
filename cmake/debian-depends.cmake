# SPDX-License-Identifier: MIT
# Included by CPack: the Depends of the rtprobe package, from the symbol
# versions the binary (RTPROBE_BINARY) uses. Each library's package must be at
# least the release that brought the newest symbol version taken from it, and
# no newer, so the package installs wherever the binary runs.
# debian-symbol-versions.txt gives the release of each symbol version, except
# glibc's, which are named after their release.

execute_process(COMMAND ${RTPROBE_OBJDUMP} -T ${RTPROBE_BINARY}
                OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "cannot read the dynamic symbols of ${RTPROBE_BINARY}")
endif()
string(REGEX MATCHALL "[ (](GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+[) ]" used "${headers}")
list(REMOVE_DUPLICATES used)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian-symbol-versions.txt table REGEX "^[A-Z]")

set(packages "")
foreach(tag IN LISTS used)
    string(REGEX REPLACE "[ ()]" "" tag "${tag}")
    if(tag MATCHES "^GLIBC_(.*)")
        set(package libc6)
        set(release ${CMAKE_MATCH_1})
    else()
        set(row ${table})
        list(FILTER row INCLUDE REGEX "^${tag} ")
        if(NOT row)
            message(FATAL_ERROR "${tag}: no release known; add it to debian-symbol-versions.txt")
        endif()
        separate_arguments(row UNIX_COMMAND "${row}")
        list(GET row 1 package)
        list(GET row 2 release)
    endif()
    if(NOT DEFINED minimum_${package} OR release VERSION_GREATER minimum_${package})
        list(APPEND packages ${package})
        set(minimum_${package} ${release})
    endif()
endforeach()
list(REMOVE_DUPLICATES packages)
list(SORT packages)

set(depends "")
foreach(package IN LISTS packages)
    list(APPEND depends "${package} (>= ${minimum_${package}})")
endforeach()
string(REPLACE ";" ", " CPACK_DEBIAN_RTPROBE_PACKAGE_DEPENDS "${depends}")
