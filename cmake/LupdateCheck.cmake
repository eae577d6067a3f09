# cmake -DLUPDATE=path -DINPUTS=list-file -DOUTPUT=file.ts -P LupdateCheck.cmake
# Fails when lupdate says anything about the sources (a tr() it cannot place, a class without
# Q_OBJECT, a text it cannot read): such a text would never reach a translator.
execute_process(COMMAND ${LUPDATE} -locations none -no-obsolete @${INPUTS} -ts ${OUTPUT}
    RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
if(NOT _rc EQUAL 0 OR NOT _err STREQUAL "")
    message(FATAL_ERROR "lupdate (exit ${_rc}):\n${_err}")
endif()
if(NOT _out MATCHES "Found [1-9][0-9]* source text")
    message(FATAL_ERROR "lupdate found no text:\n${_out}")
endif()
message(STATUS "${_out}")
