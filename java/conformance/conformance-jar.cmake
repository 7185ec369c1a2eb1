# Makes tarsil-conformance.jar from tarsil.jar as the build left it: the
# same entries and manifest, but for the Premain-Class, which becomes the
# forwarding agent, and the forwarding agent's classes.
#   cmake -DAGENT_JAR=... -DCLASSES=... -DWORK=... -DJAR_TOOL=... -DOUTPUT=... -P conformance-jar.cmake
file(REMOVE_RECURSE ${WORK})
file(ARCHIVE_EXTRACT INPUT ${AGENT_JAR} DESTINATION ${WORK}/jar)
file(READ ${WORK}/jar/META-INF/MANIFEST.MF manifest)
string(REGEX REPLACE "Premain-Class: [^\r\n]*" "Premain-Class: com.lindenforgesys.reload.conformance.ForwardingAgent"
       manifest "${manifest}")
file(REMOVE ${WORK}/jar/META-INF/MANIFEST.MF)
file(WRITE ${WORK}/MANIFEST.MF "${manifest}")
file(COPY ${CLASSES}/ DESTINATION ${WORK}/jar)
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${JAR_TOOL} --create --file ${OUTPUT} --manifest ${WORK}/MANIFEST.MF -C ${WORK}/jar .
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Could not make ${OUTPUT}")
endif()
