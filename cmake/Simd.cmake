# Each instruction set lives in its own file with its own -m flags, so the library as a whole
# never requires more than the processor it runs on; the kernels pick a variant at run time.
function(kestro_simd_flags target)
  get_target_property(srcs ${target} SOURCES)
  foreach(src ${srcs})
    if(src MATCHES "_sse2\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-msse2")
    elseif(src MATCHES "_ssse3\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-mssse3")
    elseif(src MATCHES "_avx2\\.cpp$")
      set_source_files_properties(${src} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "-mavx2")
    endif()
  endforeach()
endfunction()
