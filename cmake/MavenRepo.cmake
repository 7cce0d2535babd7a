# The Maven repository of one version, as `mvn deploy` writes it to a file repository:
# REPO/com/orvan/mek/fsutil/VERSION/ with the jar, its pom, the sources and javadoc jars, an .md5
# and a .sha1 of each, and the artifact's maven-metadata.xml with its own checksums.
# cmake -DJAR_TOOL=jar -DJAR=fsutil.jar -DSRC=java -DGENERATED=generated-java -DDOCS=javadoc-dir -DLICENSE=LICENSE -DPOM=fsutil.pom.in
#       -DVERSION=... -DURL=... -DSCM=... -DREPO=maven-repo -DWORK=scratch-dir -P MavenRepo.cmake
set(dir ${REPO}/com/orvan/mek/fsutil)
set(base ${dir}/${VERSION}/fsutil-${VERSION})
file(REMOVE_RECURSE ${REPO} ${WORK})
file(MAKE_DIRECTORY ${dir}/${VERSION} ${WORK}/META-INF)
file(COPY_FILE ${LICENSE} ${WORK}/META-INF/LICENSE)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "fsutil: ${ARGN} failed: ${err}")
  endif()
endfunction()

file(COPY_FILE ${JAR} ${base}.jar)
# The sources and the documentation, each with the license beside it, as the jar has it.
run(${JAR_TOOL} --create --file ${base}-sources.jar -C ${WORK} META-INF -C ${SRC} . -C ${GENERATED} .)
run(${JAR_TOOL} --create --file ${base}-javadoc.jar -C ${WORK} META-INF -C ${DOCS} .)
configure_file(${POM} ${base}.pom @ONLY)

string(TIMESTAMP now "%Y%m%d%H%M%S" UTC)
file(WRITE ${dir}/maven-metadata.xml "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<metadata>
  <groupId>com.orvan.mek</groupId>
  <artifactId>fsutil</artifactId>
  <versioning>
    <latest>${VERSION}</latest>
    <release>${VERSION}</release>
    <versions>
      <version>${VERSION}</version>
    </versions>
    <lastUpdated>${now}</lastUpdated>
  </versioning>
</metadata>
")
# Maven's checksum files hold the hex digest alone.
foreach(f ${base}.jar ${base}.pom ${base}-sources.jar ${base}-javadoc.jar ${dir}/maven-metadata.xml)
  foreach(algo MD5 SHA1)
    string(TOLOWER ${algo} ext)
    file(${algo} ${f} sum)
    file(WRITE ${f}.${ext} ${sum})
  endforeach()
endforeach()
file(REMOVE_RECURSE ${WORK})
message(STATUS "fsutil: Maven repository in ${REPO}")
