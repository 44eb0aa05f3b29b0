# Accuracy of the Velk program on the simulator's hard material (it runs the
# program itself, so it needs the tool next to it and reads its JSON).
if(TARGET velk_simulate AND TARGET Velk)
  find_package(pugixml REQUIRED)
  find_package(nlohmann_json REQUIRED)
  add_executable(hard_accuracy_bench ${CMAKE_CURRENT_SOURCE_DIR}/hard_accuracy.cpp)
  target_link_libraries(hard_accuracy_bench PRIVATE velk_simulate pugixml::pugixml
                                                    nlohmann_json::nlohmann_json)
  add_dependencies(hard_accuracy_bench Velk)
endif()
