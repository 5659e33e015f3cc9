# Build helpers shared by every layer.

set(NIMBREL_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion)
if(NIMBREL_WERROR)
  list(APPEND NIMBREL_WARNINGS -Werror)
endif()

if(NIMBREL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()
if(NIMBREL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# nimbrel_library(NAME layer SRCS ... DEPS ...): a static library nimbrel_<layer>, alias
# nimbrel::<layer>, include root src/.
function(nimbrel_library)
  cmake_parse_arguments(ARG "" "NAME" "SRCS;DEPS" ${ARGN})
  set(target nimbrel_${ARG_NAME})
  add_library(${target} STATIC ${ARG_SRCS})
  add_library(nimbrel::${ARG_NAME} ALIAS ${target})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(${target} PRIVATE ${NIMBREL_WARNINGS})
  target_link_libraries(${target} PUBLIC ${ARG_DEPS})
endfunction()

# nimbrel_test(NAME name SRCS ... DEPS ... [LABELS ...] [NETNS]): a GoogleTest executable run by
# CTest. NETNS runs it inside a fresh loopback-only network namespace.
function(nimbrel_test)
  cmake_parse_arguments(ARG "NETNS" "NAME" "SRCS;DEPS;LABELS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SRCS})
  target_compile_options(${ARG_NAME} PRIVATE ${NIMBREL_WARNINGS})
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  if(ARG_NETNS)
    add_test(NAME ${ARG_NAME} COMMAND ${PROJECT_SOURCE_DIR}/scripts/netns-run $<TARGET_FILE:${ARG_NAME}>)
    set_tests_properties(${ARG_NAME} PROPERTIES SKIP_RETURN_CODE 77)
  else()
    add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME})
  endif()
  if(ARG_LABELS)
    set_tests_properties(${ARG_NAME} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# nimbrel_fuzzer(NAME name SRCS ... DEPS ...): a libFuzzer target (only with NIMBREL_FUZZ).
function(nimbrel_fuzzer)
  cmake_parse_arguments(ARG "" "NAME" "SRCS;DEPS" ${ARGN})
  if(NOT NIMBREL_FUZZ)
    return()
  endif()
  add_executable(${ARG_NAME} ${ARG_SRCS})
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS})
  target_link_options(${ARG_NAME} PRIVATE -fsanitize=fuzzer)
endfunction()
