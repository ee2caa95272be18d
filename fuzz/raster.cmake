# The whole filter on fuzzed raster streams, read through libcups exactly as
# a job's input is: the job loop is built with its main renamed.
quorvel_fuzz_target(fuzz_raster fuzz_raster.cpp ${PROJECT_SOURCE_DIR}/filter/rastertoquorvel.cpp)
set_source_files_properties(${PROJECT_SOURCE_DIR}/filter/rastertoquorvel.cpp
  TARGET_DIRECTORY fuzz_raster PROPERTIES COMPILE_DEFINITIONS main=quorvel_filter_main)
target_link_libraries(fuzz_raster PRIVATE quorvel_filter)
