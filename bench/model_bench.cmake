# Creation time of the server on the static model and resident memory after it.
add_executable(model_bench ${CMAKE_CURRENT_LIST_DIR}/model_bench.cpp)
target_link_libraries(model_bench PRIVATE iec_model iec61850_core)
