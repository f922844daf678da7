# Debian builds its packages with the flags dpkg-buildflags gives: fortified C library calls, a
# strong stack protector, format checks, and a relocation table made read-only and resolved at
# start (relro, bind-now; DEB_BUILD_MAINT_OPTIONS=hardening=+all unless the environment says
# otherwise). An optimising build (None, Release, RelWithDebInfo, MinSizeRel) takes them, so the
# package is built as Debian would build it; a Debug or sanitizer build does not (fortifying
# needs optimisation, and the sanitizers check the same calls their own way).
find_program(BQ_DPKG_BUILDFLAGS dpkg-buildflags)
set(bq_debian_flags_default OFF)
if(BQ_DPKG_BUILDFLAGS AND NOT BQ_SANITIZE AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    set(bq_debian_flags_default ON)
endif()
option(BQ_DEBIAN_BUILDFLAGS "Build with Debian's hardening flags from dpkg-buildflags"
    ${bq_debian_flags_default})

if(BQ_DEBIAN_BUILDFLAGS)
    if(NOT BQ_DPKG_BUILDFLAGS)
        message(FATAL_ERROR "BQ_DEBIAN_BUILDFLAGS is on, but dpkg-buildflags is missing: "
            "install dpkg-dev (scripts/deps.sh) or set BQ_DEBIAN_BUILDFLAGS=OFF")
    endif()
    set(bq_maint_options "$ENV{DEB_BUILD_MAINT_OPTIONS}")
    if(bq_maint_options STREQUAL "")
        set(bq_maint_options "hardening=+all")
    endif()
    foreach(var CFLAGS CXXFLAGS CPPFLAGS LDFLAGS)
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=${bq_maint_options}"
                ${BQ_DPKG_BUILDFLAGS} --get ${var}
            WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
            OUTPUT_VARIABLE bq_deb_${var}
            OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "dpkg-buildflags --get ${var} failed")
        endif()
    endforeach()
    # Debian's packaging helpers hand CPPFLAGS to the compiler with CFLAGS and CXXFLAGS; so here.
    string(APPEND CMAKE_C_FLAGS " ${bq_deb_CFLAGS} ${bq_deb_CPPFLAGS}")
    string(APPEND CMAKE_CXX_FLAGS " ${bq_deb_CXXFLAGS} ${bq_deb_CPPFLAGS}")
    foreach(kind EXE SHARED MODULE)
        string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${bq_deb_LDFLAGS}")
    endforeach()
    message(STATUS "Debian's build flags (${bq_maint_options}): ${bq_deb_CXXFLAGS} "
        "${bq_deb_CPPFLAGS}; linking: ${bq_deb_LDFLAGS}")
endif()
