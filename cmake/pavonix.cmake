# pavonix_library(<name> SOURCES ... [DEPS ...] [PUBLIC_INCLUDE <dir>])
#   One static library per folder. Headers are included by their path from the repository root,
#   for example #include "platform/dispatch/queue.h".
function(pavonix_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# Something a group of tests needs is missing: in CI an error, elsewhere those tests are left out.
function(pavonix_missing_for_tests what)
  if("$ENV{CI}" STREQUAL "true" OR "$ENV{CI}" STREQUAL "1")
    message(FATAL_ERROR "${what} (scripts/install-deps test)")
  endif()
  message(STATUS "${what}: left out")
endfunction()

# The views are laid out by the metrics of whatever sans font fontconfig gives, so their test
# programs run twice: as the machine has it, and once more with only the other of the two families
# a Linux desktop mostly brings (DejaVu Sans, or Noto Sans where DejaVu is the default). Sets
# PAVONIX_OTHER_FONT_FAMILY and PAVONIX_OTHER_FONT_CONFIG, a fontconfig file that shows that family's
# folder alone, or leaves them empty when the family is missing; in CI that is an error.
function(pavonix_find_other_font_family)
  set(PAVONIX_OTHER_FONT_FAMILY "" PARENT_SCOPE)
  set(PAVONIX_OTHER_FONT_CONFIG "" PARENT_SCOPE)
  find_program(PAVONIX_FC_MATCH fc-match)
  set(other "DejaVu Sans")
  set(found_family "")
  set(found_file "")
  if(PAVONIX_FC_MATCH)
    execute_process(COMMAND ${PAVONIX_FC_MATCH} -f "%{family[0]}" sans-serif
      OUTPUT_VARIABLE default_family ERROR_QUIET)
    if(default_family STREQUAL "DejaVu Sans")
      set(other "Noto Sans")
    endif()
    # fc-match always names some font; only a match of the family itself counts.
    execute_process(COMMAND ${PAVONIX_FC_MATCH} -f "%{family[0]}|%{file}" "${other}"
      OUTPUT_VARIABLE found ERROR_QUIET)
    string(REPLACE "|" ";" found "${found}|")
    list(GET found 0 found_family)
    list(GET found 1 found_file)
  endif()
  if(NOT found_family STREQUAL other OR NOT EXISTS "${found_file}")
    pavonix_missing_for_tests("the view tests' second run needs fc-match and the font family '${other}'")
    return()
  endif()
  get_filename_component(font_dir "${found_file}" DIRECTORY)
  set(config ${CMAKE_BINARY_DIR}/fonts/only-${other}.conf)
  string(REPLACE " " "-" config "${config}")
  # The system's rules turn "sans" and "Sans Serif" into sans-serif; the alias after them names
  # the family for sans-serif too, should they not. Only this folder's fonts can be chosen.
  file(WRITE ${config} "<?xml version=\"1.0\"?>
<!DOCTYPE fontconfig SYSTEM \"urn:fontconfig:fonts.dtd\">
<fontconfig>
  <dir>${font_dir}</dir>
  <cachedir>${CMAKE_BINARY_DIR}/fonts/cache</cachedir>
  <include ignore_missing=\"yes\">/etc/fonts/conf.d</include>
  <alias><family>sans-serif</family><prefer><family>${other}</family></prefer></alias>
</fontconfig>
")
  set(PAVONIX_OTHER_FONT_FAMILY "${other}" PARENT_SCOPE)
  set(PAVONIX_OTHER_FONT_CONFIG "${config}" PARENT_SCOPE)
endfunction()
if(BUILD_TESTING)
  pavonix_find_other_font_family()
endif()

# pavonix_test(<name> SOURCES ... [DEPS ...] [LABELS ...] [ENV ...] [TIMEOUT s])
#   One GoogleTest executable per folder, registered with ctest as one test. A program of the
#   views (one that links pavonix_views_testing) is registered a second time as <name>_fonts, with
#   the other font family alone (label fonts); its test environment checks that family is the one
#   the widgets got.
function(pavonix_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  if(ARG_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${ARG_ENV}")
  endif()
  if("pavonix_views_testing" IN_LIST ARG_DEPS AND PAVONIX_OTHER_FONT_CONFIG)
    add_test(NAME ${name}_fonts COMMAND ${name})
    set(labels ${ARG_LABELS} fonts)
    set(env ${ARG_ENV} FONTCONFIG_FILE=${PAVONIX_OTHER_FONT_CONFIG} PAVONIX_TEST_FONT_FAMILY=${PAVONIX_OTHER_FONT_FAMILY})
    set_tests_properties(${name}_fonts PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${labels}" ENVIRONMENT "${env}")
  endif()
endfunction()

# pavonix_bench(<name> SOURCES ... [DEPS ...]): a Google Benchmark program, built with PAVONIX_BENCH.
function(pavonix_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(PAVONIX_BENCH)
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
  endif()
endfunction()

# pavonix_fuzz(<name> SOURCES ... [SEEDS <dir>] [SECONDS s] [MAX_LEN n])
#   A libFuzzer target built with clang straight from its sources (the main build may use g++),
#   with AddressSanitizer and UBSan, and a ctest entry that runs it for a bounded time (label fuzz;
#   PAVONIX_FUZZ_SECONDS overrides the time of every target). SOURCES are paths from the repository
#   root. Without clang the target is left out; in CI that is an error. Every fuzz target is also a
#   dependency of `pavonix_fuzz_targets`, which builds them all.
#   Each source compiles on its own through the compiler cache, with its header dependencies, so
#   another build folder or checkout of the same sources only links.
find_program(PAVONIX_CLANGXX clang++)
add_custom_target(pavonix_fuzz_targets)
function(pavonix_fuzz name)
  cmake_parse_arguments(ARG "" "SEEDS;SECONDS;MAX_LEN" "SOURCES" ${ARGN})
  if(NOT BUILD_TESTING)
    return()
  endif()
  if(NOT PAVONIX_CLANGXX)
    pavonix_missing_for_tests("clang++ is needed for the fuzz target ${name}")
    return()
  endif()
  if(NOT ARG_SECONDS)
    set(ARG_SECONDS 30)
  endif()
  if(NOT ARG_MAX_LEN)
    set(ARG_MAX_LEN 4096)
  endif()
  set(flags -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
  set(fuzz_dir ${CMAKE_CURRENT_BINARY_DIR}/fuzz)
  # Only Ninja makes the folders of custom command outputs itself; Unix Makefiles does not.
  set(object_dir ${fuzz_dir}/${name}.objects)
  set(objects)
  foreach(src IN LISTS ARG_SOURCES)
    string(MAKE_C_IDENTIFIER ${src} object_name)
    set(object ${object_dir}/${object_name}.o)
    add_custom_command(OUTPUT ${object}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${object_dir}
      COMMAND ${CMAKE_CXX_COMPILER_LAUNCHER} ${PAVONIX_CLANGXX} ${flags} -I${PROJECT_SOURCE_DIR}
              -MD -MF ${object}.d -c ${PROJECT_SOURCE_DIR}/${src} -o ${object}
      DEPENDS ${PROJECT_SOURCE_DIR}/${src}
      DEPFILE ${object}.d
      COMMENT "Compiling ${src} for the fuzz target ${name}"
      VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  set(binary ${fuzz_dir}/${name})
  add_custom_command(OUTPUT ${binary}
    COMMAND ${PAVONIX_CLANGXX} ${flags} ${objects} -o ${binary}
    DEPENDS ${objects}
    COMMENT "Linking fuzz target ${name} with clang"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${binary})
  add_dependencies(pavonix_fuzz_targets ${name})
  set(corpus ${fuzz_dir}/${name}_corpus)
  set(seeds)
  if(ARG_SEEDS)
    set(seeds ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_SEEDS})
  endif()
  add_test(NAME ${name}
    COMMAND sh -c "mkdir -p '${corpus}' && exec '${binary}' -max_total_time=\${PAVONIX_FUZZ_SECONDS:-${ARG_SECONDS}} -timeout=10 -rss_limit_mb=2048 -max_len=${ARG_MAX_LEN} -print_final_stats=1 '${corpus}' ${seeds}")
  set_tests_properties(${name} PROPERTIES TIMEOUT 600 LABELS fuzz)
endfunction()
