# Writes build-info.json with the source revision. Run at every build so the
# revision follows the checkout; the file is only replaced when it changes.
execute_process(COMMAND git rev-parse --short=12 HEAD
                WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR commit STREQUAL "")
  set(commit "unknown")
endif()
execute_process(COMMAND git status --porcelain --untracked-files=no
                WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE dirty OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT dirty STREQUAL "" AND NOT commit STREQUAL "unknown")
  string(APPEND commit "-dirty")
endif()
set(content "{\n  \"commit\": \"${commit}\",\n  \"version\": \"${VERSION}\",\n  \"build\": \"${BUILD}\"\n}\n")
set(old "")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUTPUT} "${content}")
endif()
