# The server's parsers of outside input, and of the stroke journal a crash may leave behind.
velmo_fuzz_target(server_command_fuzz server_command_fuzz.cpp velmo_server)
velmo_fuzz_target(server_multipart_fuzz server_multipart_fuzz.cpp velmo_server)
velmo_fuzz_target(server_png_check_fuzz server_png_check_fuzz.cpp velmo_server)
velmo_fuzz_target(server_journal_fuzz server_journal_fuzz.cpp velmo_server)
