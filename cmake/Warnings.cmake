# Warnings are errors everywhere in our own code.
function(bq_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wpedantic
        $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)
endfunction()
