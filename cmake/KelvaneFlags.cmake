# Compiler flags shared by every target of the project.
#
# The context-mixing and GRU engines must agree bit for bit between the encoder
# and the decoder, so floating-point contraction is off everywhere and no
# fast-math flag is ever used.
add_library(kelvane_flags INTERFACE)
target_compile_options(kelvane_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Wno-missing-field-initializers
  -ffp-contract=off -fno-fast-math)
if(KELVANE_WERROR)
  target_compile_options(kelvane_flags INTERFACE -Werror)
endif()

if(KELVANE_SANITIZE)
  set(_kelvane_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_options(${_kelvane_san})
  add_link_options(-fsanitize=address,undefined)
endif()

# Sources whose floating-point results are part of a stored format: no
# contraction into fused multiply-adds and no fast-math, placed after every
# other flag so that nothing from the environment overrides them.
function(kelvane_exact_float)
  set_property(SOURCE ${ARGN} DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    APPEND PROPERTY COMPILE_OPTIONS -ffp-contract=off -fno-fast-math)
endfunction()
