# The shared library, which a test loads and unloads twice to check that its start-up and tear-down run
# cleanly and leave nothing behind.
velmora_test(velmora_module_load_test THREADS module_load_test.cpp)
add_dependencies(velmora_module_load_test velmorable)
target_compile_definitions(velmora_module_load_test
                           PRIVATE VELMORA_LIBRARY_PATH="$<TARGET_FILE:velmorable>")
target_link_libraries(velmora_module_load_test PRIVATE ${CMAKE_DL_LIBS})
