# The optional signing step of the build-tree bundle: seals and signs it with
# FERROWHISTLE_SIGNING_IDENTITY after every shipped program and resource is
# in place, then notarizes it when FERROWHISTLE_NOTARY_IDENTITY is set. It
# runs on every build, since any rebuilt file breaks the seal. Without an
# identity any signature left from an earlier configuration is removed.
if(FERROWHISTLE_SIGNING_IDENTITY STREQUAL "")
  if(NOT FERROWHISTLE_NOTARY_IDENTITY STREQUAL "")
    message(FATAL_ERROR "FERROWHISTLE_NOTARY_IDENTITY needs FERROWHISTLE_SIGNING_IDENTITY: only a signed bundle can be notarized")
  endif()
  file(REMOVE_RECURSE ${FW_BUNDLE_DIR}/Contents/_CodeSignature)
  return()
endif()

get_property(_fw_shipped GLOBAL PROPERTY FW_SHIPPED_TARGETS)
set(_fw_sign_commands
  COMMAND $<TARGET_FILE:ferrowhistle-release> sign --identity ${FERROWHISTLE_SIGNING_IDENTITY} ${FW_BUNDLE_DIR})
if(NOT FERROWHISTLE_NOTARY_IDENTITY STREQUAL "")
  list(APPEND _fw_sign_commands
    COMMAND $<TARGET_FILE:ferrowhistle-release> notarize --notary ${FERROWHISTLE_NOTARY_IDENTITY} ${FW_BUNDLE_DIR})
endif()
add_custom_target(sign_bundle ALL ${_fw_sign_commands}
  COMMENT "Signing ${FW_BUNDLE_DIR}"
  VERBATIM)
add_dependencies(sign_bundle ferrowhistle-release build_info ${_fw_shipped})
