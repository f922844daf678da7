# The project's own test builds (scripts/test.sh) turn warnings into errors; any other build
# (a packager's Release or None build, another compiler) shows them and goes on.
option(BQ_WERROR "Treat warnings in the project's own code as errors" OFF)

function(bq_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wshadow -Wpedantic
        $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
        $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>
        $<$<BOOL:${BQ_WERROR}>:-Werror>)
endfunction()
