# Each instruction set lives in its own file with its own -m flags, so the library as a whole
# never requires more than the processor it runs on; the kernels pick a variant at run time.
# GCC for Windows keeps the stack 16-byte aligned but may still spill 32- and 64-byte registers
# with aligned moves there; the assembler writes every aligned vector move as an unaligned one,
# which costs nothing where the address is aligned after all.
function(kestro_simd_flags target)
  set(wide "")
  if(WIN32)
    set(wide "-Wa,-muse-unaligned-vector-move")
  endif()
  get_target_property(srcs ${target} SOURCES)
  foreach(src ${srcs})
    if(src MATCHES "_sse2\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-msse2")
    elseif(src MATCHES "_ssse3\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-mssse3")
    elseif(src MATCHES "_avx2\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-mavx2;${wide}")
    elseif(src MATCHES "_avx512\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-mavx512bw;-mavx512vl;${wide}")
    endif()
  endforeach()
endfunction()
