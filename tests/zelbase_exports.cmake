# Checks that a library's dynamic symbol table defines exactly the expected
# names, nothing more and nothing less.
#   cmake -DNM=nm -DLIBRARY=libzelbase.so -P zelbase_exports.cmake
set(expected CreateUniqueMsgId LockDir UnlockDir WildMatch)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

# Each line is "address type name"; the name is the last field.
string(REPLACE "\n" ";" lines "${out}")
set(found)
foreach(line IN LISTS lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND found "${name}")
endforeach()
list(SORT found)

if(NOT found STREQUAL expected)
  message(FATAL_ERROR "${LIBRARY} exports [${found}], expected exactly [${expected}]")
endif()
message(STATUS "exports: ${found}")
