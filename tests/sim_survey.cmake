# The survey of a simulated board as JSON, for the package's set-up check.
if(TARGET quorvex_sim)
  add_executable(sim_board_survey ${CMAKE_CURRENT_SOURCE_DIR}/tools/sim_board_survey.cpp)
  target_link_libraries(sim_board_survey PRIVATE quorvex quorvex_sim)
endif()
