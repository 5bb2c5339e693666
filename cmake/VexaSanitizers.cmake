# Sanitizers and fuzzing for the whole build.
#
#   VEXA_SANITIZE  OFF, address (AddressSanitizer with UndefinedBehaviorSanitizer;
#                  ON means the same) or thread (ThreadSanitizer)
#   VEXA_FUZZ      libFuzzer executables in <build>/fuzz/ (clang only); every
#                  library is compiled with coverage feedback and address
#
# Sets, for the rest of the tree:
#   VEXA_SANITIZER          "", "address" or "thread"
#   VEXA_SANITIZER_FLAGS    the -fsanitize flags a C program needs to link against
#                           our sanitized library (the installed-tree test uses it)
#   VEXA_SANITIZER_PRELOAD  the sanitizer runtimes, colon-separated, that a program
#                           built without them (pkcs11-tool, p11tool, ...) must
#                           preload before it loads our library; empty without
#                           sanitizers

string(TOLOWER "${VEXA_SANITIZE}" vexa_sanitize_word)
if(vexa_sanitize_word MATCHES "^(|off|no|false|0|n)$")
  set(VEXA_SANITIZER "")
elseif(vexa_sanitize_word MATCHES "^(on|yes|true|1|y|address)$")
  set(VEXA_SANITIZER address)
elseif(vexa_sanitize_word STREQUAL "thread")
  set(VEXA_SANITIZER thread)
else()
  message(FATAL_ERROR "VEXA_SANITIZE must be OFF, address (or ON) or thread, not '${VEXA_SANITIZE}'")
endif()

if(VEXA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR NOT CMAKE_C_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VEXA_FUZZ needs clang: -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
  endif()
  if(VEXA_SANITIZER STREQUAL "thread")
    message(FATAL_ERROR "VEXA_FUZZ runs under AddressSanitizer; it cannot be combined with VEXA_SANITIZE=thread")
  endif()
  set(VEXA_SANITIZER address)
  # Coverage feedback for libFuzzer in every library the fuzzers link; only
  # the fuzz executables link libFuzzer itself (-fsanitize=fuzzer).
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# The runtime library a program must preload; found next to the compiler's
# own libraries.
function(vexa_sanitizer_runtime gcc_name clang_name out)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-runtime-dir
                    OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(path "${dir}/${clang_name}")
  else()
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${gcc_name}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  if(NOT EXISTS "${path}")
    message(WARNING "sanitizer runtime ${path} not found: third-party programs cannot load the sanitized library")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

set(VEXA_SANITIZER_FLAGS "")
set(VEXA_SANITIZER_PRELOAD "")
if(VEXA_SANITIZER STREQUAL "address")
  set(VEXA_SANITIZER_FLAGS -fsanitize=address,undefined)
  # Without UBSan's vptr check: it reads a vtable through a pipe it opens for
  # the purpose, so in a process at its descriptor limit (the daemon's tests
  # take it there on purpose) the pipe fails and the check reports a sound
  # object as having an invalid vptr, and aborts. AddressSanitizer still
  # catches the use of a freed or out-of-scope object.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    # clang links the UBSan runtime into the ASan one.
    vexa_sanitizer_runtime("" libclang_rt.asan-x86_64.so asan)
    set(VEXA_SANITIZER_PRELOAD "${asan}")
  else()
    vexa_sanitizer_runtime(libasan.so "" asan)
    vexa_sanitizer_runtime(libubsan.so "" ubsan)
    set(VEXA_SANITIZER_PRELOAD "${asan}:${ubsan}")
  endif()
elseif(VEXA_SANITIZER STREQUAL "thread")
  set(VEXA_SANITIZER_FLAGS -fsanitize=thread)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  vexa_sanitizer_runtime(libtsan.so libclang_rt.tsan-x86_64.so tsan)
  set(VEXA_SANITIZER_PRELOAD "${tsan}")
endif()
