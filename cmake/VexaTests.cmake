# Every test carries exactly one of these labels, so that `ctest -L LABEL`
# runs one kind of test:
#
#   unit          parts of vexa in the test's own process, with fakes where
#                 they need a token or a peer: no simulated token, no daemon,
#                 no other program
#   end-to-end    vexa's own programs in processes of their own: vexa-token-sim,
#                 vexa-daemon, vexa-tool, the test probes and workers
#   applications  third-party programs (pkcs11-tool, p11tool, p11-kit, ssh,
#                 openssl, GnuTLS) on our library, and the demo
#   fuzz-seeds    the fuzz targets replaying their seed corpora (tests/fuzz)
#
# vexa_discover_tests(TARGET LABEL label [SPLIT label gtest-filter]...)
#
# registers the GoogleTest cases of TARGET with ctest under LABEL. The cases a
# SPLIT's filter matches (gtest syntax: "Suite.*:Prefix/Suite.Case/*") get
# that SPLIT's label instead; a binary whose cases are of mixed kinds is
# labelled this way without moving its cases.
function(vexa_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "LABEL" "SPLIT")
  if(NOT ARG_LABEL)
    message(FATAL_ERROR "vexa_discover_tests(${target}): LABEL is required")
  endif()
  list(LENGTH ARG_SPLIT split_length)
  math(EXPR odd "${split_length} % 2")
  if(odd)
    message(FATAL_ERROR "vexa_discover_tests(${target}): SPLIT takes pairs of label and filter")
  endif()

  set(taken)
  set(index 0)
  while(index LESS split_length)
    math(EXPR next "${index} + 1")
    list(GET ARG_SPLIT ${index} label)
    list(GET ARG_SPLIT ${next} filter)
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST TEST_FILTER "${filter}"
                         TEST_LIST ${target}_${index}_TESTS PROPERTIES LABELS ${label})
    list(APPEND taken "${filter}")
    math(EXPR index "${index} + 2")
  endwhile()

  set(rest)
  if(taken)
    list(JOIN taken ":" joined)
    set(rest TEST_FILTER "-${joined}")
  endif()
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST ${rest} PROPERTIES LABELS ${ARG_LABEL})
endfunction()
