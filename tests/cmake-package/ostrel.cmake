find_package(ostrel 1.0 REQUIRED)
add_executable(ostrel_consumer ${CMAKE_CURRENT_LIST_DIR}/ostrel_consumer.cpp)
target_link_libraries(ostrel_consumer PRIVATE ostrel::ostrel)
add_test(NAME ostrel_consumer COMMAND ostrel_consumer)
