# Warnings are errors in the project's CI presets only: other compilers,
# versions and flags may warn where these do not, and an ordinary build must
# still succeed.
option(CE_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)

# Compiler settings for the project's own targets: all warnings, and on
# MinGW a runtime linked statically so the DLLs need nothing beside them.
function(ce_project_target target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
    if(CE_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(CE_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror -Wno-error=deprecated-declarations)
      # GCC 12 at -O3 reports impossible overlaps in std::string's inlined
      # copies (-Wrestrict, GCC bug 105329): shown, not fatal.
      if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
         AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(${target} PRIVATE -Wno-error=restrict)
      endif()
    endif()
  endif()
  if(MINGW)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "EXECUTABLE" OR type STREQUAL "MODULE_LIBRARY")
      target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    endif()
  endif()
endfunction()

# Sanitizer builds: CE_SANITIZE=address (ASan+UBSan) or thread (TSan).
set(CE_SANITIZE "" CACHE STRING "Sanitizer: address or thread")
if(CE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(CE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
