# The module's fuzz targets: each is fuzz/qarn/<name>.cc with its seeds under
# fuzz/corpus/<name>/ and the inputs of crashes once found under fuzz/regressions/<name>/.
# Included by fuzz/qarn/CMakeLists.txt (the libFuzzer build) and tests/fuzz/qarn/CMakeLists.txt
# (the replay tests).
set(QARN_FUZZ_TARGETS
  qarn_hook
  qarn_list
  qarn_pattern)
