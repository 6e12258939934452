# Our own code builds warning-free with -Wall -Wextra; third-party code
# (GoogleTest) keeps its own flags. CI's build turns warnings into errors.
option(VELMOR_WERROR "Treat warnings in our own code as errors" OFF)

function(velmor_warnings target)
    set(flags -Wall -Wextra)
    if(VELMOR_WERROR)
        list(APPEND flags -Werror)
    endif()
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${flags}>)
endfunction()
