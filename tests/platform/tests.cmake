# Included from tests/CMakeLists.txt. The tty transport runs against ptys (made in the tests or
# served by varnel-sim, spawned as a process), so these tests need no hardware and no privileges.
varnel_test_program(varnel_platform_tests platform)
if(TARGET varnel_platform_tests)
  target_link_libraries(varnel_platform_tests PRIVATE varnel_platform varnel_ui)
  target_compile_definitions(varnel_platform_tests PRIVATE
    VARNEL_SIM_PROGRAM="$<TARGET_FILE:varnel-sim>" VARNEL_CLI_PROGRAM="$<TARGET_FILE:varnel-cli>")
  add_dependencies(varnel_platform_tests varnel-sim varnel-cli)
endif()

# The libusb transport against boot loaders emulated by umockdev (scripts/install-deps.sh usb).
# Every process that uses libusb there must run with umockdev's preload library; its sockets
# need a short TMPDIR.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
if(UMOCKDEV_FOUND)
  file(GLOB usb_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/usb/*.cpp)
  add_executable(varnel_usb_tests ${usb_test_sources}
                 ${CMAKE_CURRENT_SOURCE_DIR}/platform/window_job.cpp
                 ${CMAKE_CURRENT_SOURCE_DIR}/platform/child_process.cpp)
  target_link_libraries(varnel_usb_tests PRIVATE varnel_test_support varnel_platform varnel_ui
                        varnel_warnings PkgConfig::UMOCKDEV GTest::gtest_main)
  target_compile_definitions(varnel_usb_tests PRIVATE
    VARNEL_CLI_PROGRAM="$<TARGET_FILE:varnel-cli>")
  add_dependencies(varnel_usb_tests varnel-cli)
  add_test(NAME varnel_usb_tests COMMAND varnel_usb_tests --gtest_brief=1)
  # ASan would refuse a preload library ahead of its own, and TSan reports the inner workings of
  # GLib, which it cannot see; the run's other sanitizer options stay.
  set_tests_properties(varnel_usb_tests PROPERTIES TIMEOUT 300 LABELS unit
    ENVIRONMENT "LD_PRELOAD=libumockdev-preload.so.0;TMPDIR=/tmp"
    ENVIRONMENT_MODIFICATION
      "ASAN_OPTIONS=string_append::verify_asan_link_order=0;TSAN_OPTIONS=string_append::suppressions=${CMAKE_CURRENT_SOURCE_DIR}/usb/tsan.supp")
else()
  message(STATUS "umockdev not found: the libusb transport tests are not built")
endif()
