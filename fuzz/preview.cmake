# The preview's decoder on fuzzed printer streams: whole-stream checking,
# the row walk the PNG writer uses, and the error and summary texts.
quorvel_fuzz_target(fuzz_preview fuzz_preview.cpp)
target_link_libraries(fuzz_preview PRIVATE quorvel_preview_core)
