# The server core: IecServer, the slot bookkeeping, the XML file of values and
# the daemon executable.
pkg_check_modules(TINYXML2 REQUIRED IMPORTED_TARGET tinyxml2)

# The parts of the core that need nothing but the foundation.
add_library(iec_core_logic STATIC ServerConfig.cpp ServerLog.cpp SlotBook.cpp)
target_link_libraries(iec_core_logic PUBLIC iec_util)

# The XML file of IEC values (needs the IEC 61850 value cache).
add_library(iec_serialization STATIC Serialization.cpp)
target_link_libraries(iec_serialization PUBLIC iec_util iec61850_core PkgConfig::TINYXML2)

# The rest needs the lookups and the road lock of the neighbouring layers.
if(NOT (EXISTS ${CMAKE_SOURCE_DIR}/server/ModelLookup.h AND EXISTS ${CMAKE_SOURCE_DIR}/schedules/RoadLock.h))
  return()
endif()

add_library(iec_core STATIC
  IecServer.cpp
  IecServerRoad.cpp
  ProductionInterfaces.cpp
  ScheduleHandlingService.cpp)
target_link_libraries(iec_core PUBLIC iec_core_logic iec_serialization iec61850 iec_model iec_lookup iec_schedules PkgConfig::TINYXML2)

# What an executable of the daemon links: the core together with the
# interface layers, which call back into the core (one rescanned group).
add_library(iec_daemon INTERFACE)

add_executable(iec-server main.cpp)
target_link_libraries(iec-server PRIVATE iec_daemon)

# The interface layers are added after this folder; wire in what they build
# once every folder is known.
function(iec_core_wire_interfaces)
  if(TARGET iec_internal)
    target_compile_definitions(iec_core PRIVATE IEC_HAVE_NYMEA)
    target_link_libraries(iec_daemon INTERFACE "$<LINK_GROUP:RESCAN,iec_core,iec_internal>")
  else()
    target_link_libraries(iec_daemon INTERFACE iec_core)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL iec_core_wire_interfaces)
