# A shared library of the component libraries with the library load/unload entry, which a test loads
# and unloads to check that the start-up and tear-down run cleanly and leave nothing behind.
add_library(velmora_module_probe SHARED ${PROJECT_SOURCE_DIR}/component/module_entry.cpp)
target_link_libraries(velmora_module_probe PRIVATE velmora_component)
set_target_properties(velmora_module_probe PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

velmora_test(velmora_module_load_test module_load_test.cpp)
add_dependencies(velmora_module_load_test velmora_module_probe)
target_compile_definitions(velmora_module_load_test
                           PRIVATE VELMORA_MODULE_PROBE_PATH="$<TARGET_FILE:velmora_module_probe>")
target_link_libraries(velmora_module_load_test PRIVATE ${CMAKE_DL_LIBS})
