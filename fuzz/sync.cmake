# Reply lines of the canvas server; links and canvas IDs typed by hand.
velmo_fuzz_target(reply_line_fuzz reply_line_fuzz.cpp velmo_sync)
velmo_fuzz_target(canvas_link_fuzz canvas_link_fuzz.cpp velmo_identity)
