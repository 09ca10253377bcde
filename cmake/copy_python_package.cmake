# Copies the Python files of a package from SOURCE to DESTINATION, first
# removing those already there, so that a file deleted from the sources
# cannot linger in a build tree and hide a broken import.
file(GLOB_RECURSE stale "${DESTINATION}/*.py" "${DESTINATION}/*.pyi" "${DESTINATION}/py.typed")
if(stale)
  file(REMOVE ${stale})
endif()
file(COPY "${SOURCE}/" DESTINATION "${DESTINATION}")
