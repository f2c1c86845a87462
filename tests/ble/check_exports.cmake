# Checks that the shared library exports exactly its sixteen functions: run with -DLIBRARY=<path> -DNM=<nm>.
set(expected
  VelmoraBLE_BLEClient_CheckIndex VelmoraBLE_BLEClient_Create VelmoraBLE_BLEClient_Destroy VelmoraBLE_BLEClient_Do
  VelmoraBLE_BLEClient_Get VelmoraBLE_BLEClient_GetEventError VelmoraBLE_BLEClient_GetEventErrorCode
  VelmoraBLE_BLEClient_GetLastError VelmoraBLE_BLEClient_GetLastErrorCode VelmoraBLE_BLEClient_Set
  VelmoraBLE_BLEClient_SetEventErrorAndCode VelmoraBLE_BLEClient_SetLastErrorAndCode
  VelmoraBLE_BLEClient_StaticDestroy VelmoraBLE_BLEClient_StaticInit VelmoraBLE_EvtStr VelmoraBLE_Stream)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(found "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>": every defined dynamic symbol counts, whatever its type.
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND found "${name}")
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "exactly the sixteen exports")
