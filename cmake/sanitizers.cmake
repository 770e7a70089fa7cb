# Compiler warnings and optional sanitizers for every target of the project.
add_compile_options(-Wall -Wextra)

if(KEL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(KEL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KEL_SANITIZE must be '', 'address' or 'thread', not '${KEL_SANITIZE}'")
endif()
