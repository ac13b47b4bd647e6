# Model lookups by name, CLS names, schedule names, host reachability.
add_library(iec_lookup STATIC ${CMAKE_CURRENT_SOURCE_DIR}/ModelLookup.cpp)
target_link_libraries(iec_lookup PUBLIC iec_model iec61850_core iec_util)
