# Compile and link flags that harden every program of the build. GCC 12 and
# Clang 16 and later fortify with the object sizes known at run time (level
# 3); older compilers take level 2.
set(fortify 2)
if((CMAKE_CXX_COMPILER_ID STREQUAL GNU AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
   OR (CMAKE_CXX_COMPILER_ID STREQUAL Clang AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 16))
  set(fortify 3)
endif()
set(optimised $<NOT:$<CONFIG:Debug>>)
add_compile_options(-fstack-protector-strong $<${optimised}:-U_FORTIFY_SOURCE>
                    $<${optimised}:-D_FORTIFY_SOURCE=${fortify}>)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i.86)$")
  add_compile_options(-fcf-protection)
endif()
if(WIN32)
  # mingw-w64's stack protector and fortified calls live in libssp, linked
  # statically with the rest. A 64-bit program also gets high-entropy ASLR.
  add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--nxcompat)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL x86_64)
    add_link_options(-Wl,--high-entropy-va)
  endif()
else()
  add_compile_options(-fstack-clash-protection)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
