# Answers of the image host to an upload.
velmo_fuzz_target(upload_answer_fuzz upload_answer_fuzz.cpp velmo_imagehost)
