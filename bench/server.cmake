# The canvas server's load benchmark is a script run by hand (wrk and nginx on loopback,
# bounded in time): `ninja server_load_bench`, or bench/server/run_bench.sh SERVER_BINARY.
add_custom_target(server_load_bench
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/server/run_bench.sh $<TARGET_FILE:velmorastra-server>
  DEPENDS velmorastra-server
  USES_TERMINAL)
