# Third-party dependencies: Arrow from the pyarrow wheel, nlohmann/json and the BLAKE3 C
# sources from Debian.

# Arrow: the wheel has no CMake package, so ask the interpreter where it keeps headers and
# libraries, and link the versioned shared objects by full path.
if(NOT SHREDDER_PYTHON)
  if(Python_EXECUTABLE)
    set(SHREDDER_PYTHON ${Python_EXECUTABLE})
  else()
    find_program(SHREDDER_PYTHON NAMES python3.12 python3 REQUIRED)
  endif()
endif()
execute_process(
  COMMAND ${SHREDDER_PYTHON} -c
          "import pyarrow as pa; print(pa.get_include()); print(pa.get_library_dirs()[0]); print(pa.__version__)"
  OUTPUT_VARIABLE _pyarrow_info OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _pyarrow_rc)
if(NOT _pyarrow_rc EQUAL 0)
  message(FATAL_ERROR "pyarrow is not importable from ${SHREDDER_PYTHON}; run 'make setup' first")
endif()
string(REPLACE "\n" ";" _pyarrow_info "${_pyarrow_info}")
list(GET _pyarrow_info 0 SHREDDER_ARROW_INCLUDE)
list(GET _pyarrow_info 1 SHREDDER_ARROW_LIBDIR)
list(GET _pyarrow_info 2 _pyarrow_version)
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)" _ "${_pyarrow_version}")
math(EXPR _arrow_so_version "${CMAKE_MATCH_1} * 100 + ${CMAKE_MATCH_2}")
message(STATUS "Arrow ${_pyarrow_version} from ${SHREDDER_ARROW_LIBDIR}")

add_library(shredder_arrow SHARED IMPORTED GLOBAL)
set_target_properties(shredder_arrow PROPERTIES
  IMPORTED_LOCATION "${SHREDDER_ARROW_LIBDIR}/libarrow.so.${_arrow_so_version}"
  INTERFACE_INCLUDE_DIRECTORIES "${SHREDDER_ARROW_INCLUDE}")
add_library(shredder::arrow ALIAS shredder_arrow)

add_library(shredder_arrow_python SHARED IMPORTED GLOBAL)
set_target_properties(shredder_arrow_python PROPERTIES
  IMPORTED_LOCATION "${SHREDDER_ARROW_LIBDIR}/libarrow_python.so.${_arrow_so_version}"
  INTERFACE_LINK_LIBRARIES shredder::arrow)
add_library(shredder::arrow_python ALIAS shredder_arrow_python)

find_package(nlohmann_json 3.11 REQUIRED)

include(${CMAKE_CURRENT_LIST_DIR}/Blake3.cmake)
