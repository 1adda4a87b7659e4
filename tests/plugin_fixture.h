// A fixture for tests that drive the real plug-in through the host simulator, in a working
// folder of its own.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/work_dir.h"

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(host.load(MORVELT_PLUGIN_PATH, &error)) << error;
    }

    // Starts the plug-in with the variables `names`, argument 0 being the plug-in's name.
    void start(const std::vector<std::string>& names) {
        std::vector<std::string> arguments{"morvelt"};
        arguments.insert(arguments.end(), names.begin(), names.end());
        host.start(arguments);
    }

    std::vector<std::string> variableNames() {
        std::vector<std::string> names;
        for (uint32_t i = 0; i < host.plugin().variableCount(); ++i) names.push_back(host.plugin().variables()[i].name);
        return names;
    }

    hostsim::WorkDir dir;  // made first, removed last
    hostsim::Host host;
};
