# cmake -DCC=compiler -DNAME=name -DSOURCE_DIR=dir -DSOURCES=a.c;b.c -DOUT=dir -P phone_end_c99.cmake
# Compiles each source of the phone's end with -std=c99 -pedantic -Wall -Wextra -Werror.
if(NOT CC OR NOT EXISTS "${CC}")
  message(FATAL_ERROR "${NAME} is not installed (scripts/kestrel installs it)")
endif()
file(MAKE_DIRECTORY ${OUT})
foreach(src ${SOURCES})
  get_filename_component(base ${src} NAME_WE)
  execute_process(
    COMMAND ${CC} -std=c99 -pedantic -Wall -Wextra -Werror -I${SOURCE_DIR} -c ${src}
            -o ${OUT}/${base}.o
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NAME} -std=c99 failed on ${src}:\n${out}${err}")
  endif()
  message(STATUS "${NAME}: ${base}.c builds as strict C99")
endforeach()
