#pragma once
// The home's device settings the relay-contact tests use: two wallboxes and
// a 9-kW heat pump (P_min 10.5 kW); 8 kWp of controllable PV.

namespace limitsourcetest {

inline constexpr const char* kDeviceSettings =
    "[ChargingOptimizationConfigurations]\n"
    "%7Bwb1%7D\\controllableLocalSystem=true\n"
    "%7Bwb2%7D\\controllableLocalSystem=true\n"
    "[HeatingConfigurations]\n"
    "%7Bhp%7D\\controllableLocalSystem=true\n"
    "%7Bhp%7D\\maxElectricalPower=9\n"
    "[PvConfigurations]\n"
    "%7Bpv%7D\\controllableLocalSystem=true\n"
    "%7Bpv%7D\\kwPeak=@Variant(\\0\\0\\0\\x87\\x41\\0\\0\\0)\n";

}  // namespace limitsourcetest
