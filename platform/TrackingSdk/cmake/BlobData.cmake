# Writes the SDK data directory DESTINATION: the files of SOURCE, with the
# track engine's body detector set to "blob". Run with cmake -P.
foreach(f faceengine.conf runtime.conf)
  configure_file(${SOURCE}/${f} ${DESTINATION}/${f} COPYONLY)
endforeach()
file(READ ${SOURCE}/trackengine.conf content)
string(REGEX REPLACE "\nbody-detector-type = \"[a-z]+\"" "\nbody-detector-type = \"blob\"" blob "${content}")
if(blob STREQUAL content AND NOT content MATCHES "\nbody-detector-type = \"blob\"")
  message(FATAL_ERROR "${SOURCE}/trackengine.conf names no body-detector-type")
endif()
file(WRITE ${DESTINATION}/trackengine.conf "${blob}")
