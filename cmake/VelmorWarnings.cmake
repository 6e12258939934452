# Our own code builds warning-free with -Wall -Wextra; third-party code
# (GoogleTest) keeps its own flags.
function(velmor_warnings target)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra>)
endfunction()
