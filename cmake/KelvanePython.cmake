# Finding the Python interpreters the module is built for, and installing the
# module where `cmake --install` is asked to put it.

# The module uses the C API of Python 3.11 and newer (PyType_GetQualName).
set(KELVANE_PYTHON_MIN_VERSION 3.11)

# Asks an interpreter for its version, its own path, extension suffix, header
# folder and site-packages; sets <prefix>_OK to TRUE when it can be built for.
function(kelvane_probe_python exe prefix)
  set(${prefix}_OK FALSE PARENT_SCOPE)
  set(${prefix}_VERSION "" PARENT_SCOPE)
  if(NOT EXISTS "${exe}")
    return()
  endif()
  execute_process(
    COMMAND "${exe}" -c
      "import sys, sysconfig; print(f'{sys.version_info[0]}.{sys.version_info[1]}'); print(sys.executable); print(sysconfig.get_config_var('EXT_SUFFIX')); print(sysconfig.get_paths()['include']); print(sysconfig.get_paths()['platlib'])"
    OUTPUT_VARIABLE _out
    RESULT_VARIABLE _rc
    ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _rc EQUAL 0)
    return()
  endif()
  string(REPLACE "\n" ";" _lines "${_out}")
  list(LENGTH _lines _count)
  if(NOT _count EQUAL 5)
    return()
  endif()
  list(GET _lines 0 _version)
  list(GET _lines 1 _executable)
  list(GET _lines 2 _suffix)
  list(GET _lines 3 _include)
  list(GET _lines 4 _site)
  set(${prefix}_VERSION "${_version}" PARENT_SCOPE)
  if(NOT EXISTS "${_include}/Python.h")
    return()
  endif()
  # A launcher (a pyenv shim, a symlink) resolves to the interpreter itself.
  if(NOT EXISTS "${_executable}")
    set(_executable "${exe}")
  endif()
  set(${prefix}_EXECUTABLE "${_executable}" PARENT_SCOPE)
  set(${prefix}_SUFFIX "${_suffix}" PARENT_SCOPE)
  set(${prefix}_INCLUDE "${_include}" PARENT_SCOPE)
  set(${prefix}_SITE "${_site}" PARENT_SCOPE)
  set(${prefix}_OK TRUE PARENT_SCOPE)
endfunction()

# Lists every python3.X found the usual ways: in the folders of PATH, in
# their order, then in pyenv's versions ($PYENV_ROOT, else ~/.pyenv).
function(kelvane_find_pythons out)
  string(REPLACE ":" ";" _dirs "$ENV{PATH}")
  if(NOT "$ENV{PYENV_ROOT}" STREQUAL "")
    set(_pyenv "$ENV{PYENV_ROOT}")
  else()
    set(_pyenv "$ENV{HOME}/.pyenv")
  endif()
  file(GLOB _pyenv_dirs LIST_DIRECTORIES true "${_pyenv}/versions/*/bin")
  set(_found "")
  foreach(_dir IN LISTS _dirs _pyenv_dirs)
    if(_dir STREQUAL "")
      continue()
    endif()
    file(GLOB _exes "${_dir}/python3.*")
    list(FILTER _exes INCLUDE REGEX "/python3\\.[0-9]+$")
    list(APPEND _found ${_exes})
  endforeach()
  set(${out} "${_found}" PARENT_SCOPE)
endfunction()

# Installs the module file of <target> for Python <version>. The folder is
# chosen when `cmake --install` runs, so that its --prefix counts:
# KELVANE_PYTHON_INSTALL_DIR when set (relative to the prefix unless
# absolute); else, when no prefix was chosen at configure or install time,
# the interpreter's own site-packages <site>; else
# <prefix>/lib/python<version>/site-packages. DESTDIR applies as usual.
# CMake says that no prefix was given only on the first configure of a build
# folder; the prefix it chose then is remembered for the later ones.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(KELVANE_DEFAULT_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}" CACHE INTERNAL
      "The install prefix CMake chose itself (empty when the user gave one)")
endif()

function(kelvane_install_python_module target version site)
  set(_default_prefix "${KELVANE_DEFAULT_INSTALL_PREFIX}")
  install(CODE "
    set(_kelvane_dir [[${KELVANE_PYTHON_INSTALL_DIR}]])
    if(_kelvane_dir STREQUAL \"\")
      if(CMAKE_INSTALL_PREFIX STREQUAL [[${_default_prefix}]])
        set(_kelvane_dir [[${site}]])
      else()
        set(_kelvane_dir \"lib/python${version}/site-packages\")
      endif()
    endif()
    if(NOT IS_ABSOLUTE \"\${_kelvane_dir}\")
      set(_kelvane_dir \"\${CMAKE_INSTALL_PREFIX}/\${_kelvane_dir}\")
    endif()
    file(INSTALL DESTINATION \"\${_kelvane_dir}\" TYPE MODULE FILES \"$<TARGET_FILE:${target}>\")
  ")
endfunction()
