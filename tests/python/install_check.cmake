# Installs the build tree as a packager would, with a prefix and DESTDIR,
# then imports the module from the installed folder through PYTHONPATH.
#   cmake -DBUILD=<build> -DSTAGE=<scratch> -DPYTHON=<exe> -DVERSION=<X.Y>
#         [-DENV=<NAME=value;...>] -P install_check.cmake
file(REMOVE_RECURSE "${STAGE}")
set(ENV{DESTDIR} "${STAGE}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" --install "${BUILD}" --prefix /opt/kelvane
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()
unset(ENV{DESTDIR})

set(site "${STAGE}/opt/kelvane/lib/python${VERSION}/site-packages")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env "PYTHONPATH=${site}" ${ENV}
          "${PYTHON}" -c
          "import sys, _kelvane; assert _kelvane.__file__.startswith(sys.argv[1]), _kelvane.__file__; assert _kelvane.decompress(_kelvane.compress(b'{}')) == b'{}'"
          "${site}"
  WORKING_DIRECTORY "${STAGE}"
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "importing the installed module from ${site} failed:\n${out}")
endif()
file(REMOVE_RECURSE "${STAGE}")
