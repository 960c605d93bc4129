# The window tests need Qt Test, the program they run, and a folder for the
# pictures they take (<build dir>/gui-shots).
find_package(Qt6 REQUIRED COMPONENTS Test)
target_link_libraries(test_gui PRIVATE Qt6::Test)
target_compile_definitions(test_gui PRIVATE
  PORTVALE_SHOTS_DIR="${CMAKE_BINARY_DIR}/gui-shots"
  PORTVALE_PROGRAM="$<TARGET_FILE:portvale>")
add_dependencies(test_gui portvale)

# QT_SCALE_FACTOR takes effect only before the QApplication exists, so the picture
# at twice the pixels comes from a second run of the window tests.
add_test(NAME MainWindowShots.AtScaleTwo COMMAND test_gui --gtest_filter=MainWindowShots.*)
set_tests_properties(MainWindowShots.AtScaleTwo PROPERTIES
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_SCALE_FACTOR=2")
add_test(NAME SetupDialogShots.AtScaleTwo COMMAND test_gui --gtest_filter=SetupDialogShots.*)
set_tests_properties(SetupDialogShots.AtScaleTwo PROPERTIES
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_SCALE_FACTOR=2")
