# Qt Test GUI tests of the desktop front end, run without a display.
if(TARGET tonvelo_gui_lib)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  file(GLOB APP_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
  foreach(source ${APP_TEST_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    add_executable(test_app_${name} ${source})
    set_target_properties(test_app_${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(test_app_${name} PRIVATE tonvelo_gui_lib tonvelo_test_support
      Qt6::Test tonvelo_warnings tonvelo_sanitize)
    add_test(NAME app.${name} COMMAND test_app_${name})
    set_tests_properties(app.${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endforeach()
endif()
