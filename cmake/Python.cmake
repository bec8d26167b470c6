# The Python package (python/tallyquill): ctypes over the C interface. It
# finds the library from where both were installed.
set(TALLYQUILL_PYTHON_DIR "lib/python3/dist-packages" CACHE STRING
    "Where the Python package is installed, under the prefix")
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(TQ_PY_TO_LIB "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH TQ_PY_TO_LIB "/p/${TALLYQUILL_PYTHON_DIR}/tallyquill" "/p/${CMAKE_INSTALL_LIBDIR}")
endif()
configure_file(python/tallyquill/_where.py.in ${CMAKE_CURRENT_BINARY_DIR}/python/tallyquill/_where.py @ONLY)
install(FILES python/tallyquill/__init__.py ${CMAKE_CURRENT_BINARY_DIR}/python/tallyquill/_where.py
        DESTINATION ${TALLYQUILL_PYTHON_DIR}/tallyquill COMPONENT python)
