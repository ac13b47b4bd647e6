#pragma once
// The listener registry: listener name -> callable taking the CLS number (1..4).

#include <functional>
#include <string>
#include <unordered_map>

using CallbackFunction = std::function<void(int cls)>;
using CallbackMap = std::unordered_map<std::string, CallbackFunction>;
