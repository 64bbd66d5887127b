# The stroke text codec and the merge of a server reply, at the sizes the sync path sees.
add_executable(sync_bench sync_bench.cpp)
target_include_directories(sync_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(sync_bench PRIVATE velmo_mwcanvas benchmark::benchmark)
