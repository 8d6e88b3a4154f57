# Common settings for every morvex target: warnings, optional sanitizers.

set(MORVEX_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Wimplicit-fallthrough)

if(MORVEX_SANITIZE)
  list(JOIN MORVEX_SANITIZE "," _morvex_sanitizers)
  add_compile_options(-fsanitize=${_morvex_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_morvex_sanitizers})
endif()

# Applies the project's warning set to one of its own targets (not to third-party code).
function(morvex_target_settings target)
  target_compile_options(${target} PRIVATE ${MORVEX_WARNINGS})
  if(MORVEX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # GCC 12's -Wrestrict misreads std::string's own copies once inlined (GCC bug 105329); MinGW's
  # build of it reports them in the standard library's headers.
  if(MINGW AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()
