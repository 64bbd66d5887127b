# The browser tests: the real server and bots on loopback, driven through Debian's Chromium by
# the locked puppeteer-core (`npm ci` in web/tests). Skipped (77) without either.
if(TARGET velmorastra-server AND TARGET velmorastra-bot)
  set(velmo_web_test_env
      VELMO_SERVER_BINARY=$<TARGET_FILE:velmorastra-server>
      VELMO_BOT_BINARY=$<TARGET_FILE:velmorastra-bot>
      VELMO_WEB_FOLDER=${CMAKE_BINARY_DIR}/web
      VELMO_TEST_OUTPUT_DIR=${CMAKE_BINARY_DIR}/test-output)
  if(VELMO_WEB)
    add_test(NAME web_browser_page
             COMMAND ${CMAKE_COMMAND} -E env ${velmo_web_test_env}
                     ${CMAKE_SOURCE_DIR}/web/tests/run.sh ${CMAKE_BINARY_DIR} draw_page.test.js)
    set_tests_properties(web_browser_page PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300
                         RUN_SERIAL TRUE)
  endif()
endif()
