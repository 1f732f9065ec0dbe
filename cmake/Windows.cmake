# The Windows build: the codec DLL, the in-process core for tests, the Wine test harness.

set(KESTRO_SYSTEM_LIBS msvfw32 avifil32 winmm comctl32 comdlg32 shell32 user32 gdi32 advapi32 ole32
    oleaut32 uuid)
set(KESTRO_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

# The library's own sources, by folder; the load hook (src/driver/DllMain.cpp) goes only into the
# DLL, so that the tests can link everything else in-process.
set(KESTRO_DRIVER_SOURCES
  src/driver/CodecInstance.cpp
  src/driver/DriverProc.cpp
)
set(KESTRO_SETTINGS_SOURCES
  src/settings/CodecSettings.cpp
)
set(KESTRO_FORMATS_SOURCES
  src/formats/ChainedCodecs.cpp
  src/formats/CodecFormats.cpp
)
set(KESTRO_CAPTURE_SOURCES
  src/capture/BeginNotice.cpp
  src/capture/CaptureRun.cpp
  src/capture/ChainCompressor.cpp
  src/capture/FastWriter.cpp
  src/capture/FrameJournal.cpp
  src/capture/PieceFile.cpp
  src/capture/RequestPool.cpp
  src/capture/SyncWriter.cpp
  src/capture/TailPage.cpp
  src/capture/TakeRecorder.cpp
)
set(KESTRO_PLAYBACK_SOURCES
  src/playback/PlaybackRun.cpp
  src/playback/ReadPiece.cpp
  src/playback/ReadPieces.cpp
  src/playback/ReadRing.cpp
)
set(KESTRO_UI_SOURCES
  src/ui/ConfigDlg.cpp
  src/ui/CpuDetect.cpp
  src/ui/DataExchange.cpp
  src/ui/Dialog.cpp
  src/ui/HtmlDlg.cpp
  src/ui/PartitionDlg.cpp
  src/ui/SheetChecks.cpp
)

# The platform's headers as every Windows target here includes them.
add_library(kestro_windows INTERFACE)
target_compile_definitions(kestro_windows INTERFACE WIN32_LEAN_AND_MEAN NOMINMAX
                           _WIN32_WINNT=0x0600)

# The Win32 edge (page buffers, owned handles, kernel32 calls found at run time, the module
# handle, take files on disk): shared by the library and kestro-host.
add_library(kestro_edge STATIC src/edge/Module.cpp src/edge/TakeFiles.cpp src/edge/TakePlace.cpp
            src/edge/Win32Edge.cpp)
target_include_directories(kestro_edge PUBLIC src)
target_link_libraries(kestro_edge PUBLIC kestro_windows kestro_pure PRIVATE kestro_warnings)

add_library(kestro_objs OBJECT ${KESTRO_DRIVER_SOURCES} ${KESTRO_SETTINGS_SOURCES}
            ${KESTRO_FORMATS_SOURCES} ${KESTRO_CAPTURE_SOURCES} ${KESTRO_PLAYBACK_SOURCES}
            ${KESTRO_UI_SOURCES})
target_include_directories(kestro_objs PUBLIC src)
target_link_libraries(kestro_objs PUBLIC kestro_windows kestro_edge PRIVATE kestro_warnings)
kestro_simd_flags(kestro_objs)

# What tests link in-process: everything but the library's load hook.
add_library(kestro_core STATIC $<TARGET_OBJECTS:kestro_objs>)
target_include_directories(kestro_core PUBLIC src)
target_link_libraries(kestro_core PUBLIC kestro_windows kestro_edge kestro_pure
                      ${KESTRO_SYSTEM_LIBS})

add_library(kestro32 SHARED src/driver/DllMain.cpp src/driver/RuntimeSemaphores.cpp
            $<TARGET_OBJECTS:kestro_objs>
            src/resources/kestro32.rc src/resources/kestro32.def)
set_target_properties(kestro32 PROPERTIES PREFIX "" OUTPUT_NAME kestro32
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(kestro32 PRIVATE src)
target_link_libraries(kestro32 PRIVATE kestro_windows kestro_warnings kestro_edge kestro_pure
                      ${KESTRO_SYSTEM_LIBS})
target_link_options(kestro32 PRIVATE ${KESTRO_STATIC_RUNTIME} -Wl,--kill-at -Wl,--enable-stdcall-fixup)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The 32-bit runtime's semaphores go through src/driver/RuntimeSemaphores.cpp (see there).
  target_link_options(kestro32 PRIVATE -Wl,--wrap=_imp__CreateSemaphoreW@16
                      -Wl,--wrap=_imp__CloseHandle@4)
endif()

# Wine harness: every test runs through a wrapper that owns this build's Wine prefix.
set(KESTRO_WINE_ARCH ${CMAKE_SYSTEM_PROCESSOR})
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
               WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# GoogleTest from Debian's sources, cross-built.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Its hook header, ahead of its own: a start signal built on the platform's threads.
target_include_directories(gtest BEFORE PUBLIC ${CMAKE_SOURCE_DIR}/tests/support/gtest-custom)

add_subdirectory(tests)
add_subdirectory(tools)
add_subdirectory(bench)

include(${CMAKE_SOURCE_DIR}/cmake/CheckListed.cmake)
# The native build's own folders (the kestro tool, its tests, its benchmark) are checked there;
# tests/unused is what check-unused.py reads in its own test, never built.
kestro_check_listed(src/*/*.cpp tests/*/*.cpp tests/support/*/*.cpp tools/common/*.cpp
                    tools/kestro-host/*.cpp bench/*_bench.cpp
                    EXCEPT "^tests/kestro/|^tests/unused/|^bench/export_bench")
