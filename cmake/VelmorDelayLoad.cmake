# Delay-load import libraries for the DLLs that are not among Windows'
# KnownDLLs. Bound at load time, such a DLL would be looked for in the
# program's own folder first, where a web page may have dropped a file of that
# name next to the downloaded installer; delay-loaded, it is loaded on first
# use, after the entry function has restricted the search to System32.
#
# velmor_delayload_library(<name> <def file>) makes the imported target
# delayload::<name>, to link instead of the plain <name> import library.
#
# dlltool puts a delay-load library's tables in .idata, among the ordinary
# imports; but the delay-load helper writes each function's address into its
# table when the function is first called, and newer binutils (2.44) make
# .idata read-only, so that write is an access violation at the first call.
# The tables are therefore renamed .didat$N, and cmake/delayload/didat.ld
# gives them a writable section of their own, whatever the linker's version.
find_program(VELMOR_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
find_program(VELMOR_OBJCOPY NAMES x86_64-w64-mingw32-objcopy REQUIRED)

set(velmor_didat_renames)
foreach(part 2 4 5 6 7)
    list(APPEND velmor_didat_renames --rename-section ".idata$${part}=.didat$${part},alloc,load,contents,data")
endforeach()

function(velmor_delayload_library name def)
    set(library ${CMAKE_BINARY_DIR}/delayload/lib${name}_delay.a)
    add_custom_command(
        OUTPUT ${library}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delayload
        COMMAND ${VELMOR_DLLTOOL} --input-def ${def} --output-delaylib ${library}
        COMMAND ${VELMOR_OBJCOPY} ${velmor_didat_renames} ${library}
        DEPENDS ${def} ${PROJECT_SOURCE_DIR}/cmake/VelmorDelayLoad.cmake
        COMMENT "Delay-load import library for ${name}.dll"
        VERBATIM)
    add_custom_target(delayload_${name} DEPENDS ${library})
    add_library(delayload::${name} STATIC IMPORTED GLOBAL)
    set_target_properties(delayload::${name} PROPERTIES IMPORTED_LOCATION ${library}
        INTERFACE_LINK_OPTIONS "-Wl,-T,${PROJECT_SOURCE_DIR}/cmake/delayload/didat.ld")
    add_dependencies(delayload::${name} delayload_${name})
endfunction()

velmor_delayload_library(comctl32 ${PROJECT_SOURCE_DIR}/cmake/delayload/comctl32.def)
velmor_delayload_library(winhttp ${PROJECT_SOURCE_DIR}/cmake/delayload/winhttp.def)
velmor_delayload_library(bcrypt ${PROJECT_SOURCE_DIR}/cmake/delayload/bcrypt.def)
velmor_delayload_library(wintrust ${PROJECT_SOURCE_DIR}/cmake/delayload/wintrust.def)
velmor_delayload_library(crypt32 ${PROJECT_SOURCE_DIR}/cmake/delayload/crypt32.def)
