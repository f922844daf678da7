# The sanitizer build instruments everything, the engine library included, so that a fault in
# any of our code stops the test that met it.
if(BQ_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
