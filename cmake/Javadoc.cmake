# Javadoc of the module's exported API into OUT, with every doclint check: any warning or error fails
# (with -DLENIENT=ON only an error: the javadoc ctest holds the findings, the build goes on).
# cmake -DJAVADOC=... -DSRC=java -DOUT=... -DVERSION=... [-DLENIENT=ON] -P Javadoc.cmake
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${JAVADOC} -quiet -Xdoclint:all --release 17 -d ${OUT} --source-path ${SRC}
    --module com.orvan.mek.fsutil -doctitle "fsutil ${VERSION} API" -windowtitle "fsutil ${VERSION}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR (NOT LENIENT AND out MATCHES ": (warning|error)"))
  message(FATAL_ERROR "fsutil: javadoc failed (${rc}):\n${out}")
endif()
message(STATUS "fsutil: API documentation in ${OUT}/index.html")
