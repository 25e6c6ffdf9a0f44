# The fakes and Qt Test, for the unit tests of both builds.
add_library(molan_testsupport INTERFACE ${CMAKE_CURRENT_LIST_DIR}/fake.h)
target_include_directories(molan_testsupport INTERFACE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(molan_testsupport INTERFACE molan_windows Qt6::Test)
