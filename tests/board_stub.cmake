# Board detection is built separately. Until libquorvex defines detectBoard,
# every test executable carries this weak stand-in so that it links.
set(QUORVEX_BOARD_STUB ${CMAKE_CURRENT_SOURCE_DIR}/stub/DetectBoardStub.cpp)
foreach(_src ${QUORVEX_TEST_SOURCES})
  get_filename_component(_name ${_src} NAME_WE)
  target_sources(${_name} PRIVATE ${QUORVEX_BOARD_STUB})
endforeach()
