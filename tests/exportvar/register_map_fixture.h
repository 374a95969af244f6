#pragma once
// Real recipe and live records with the whole named-variable map registered over them.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "exportvar.h"
#include "live/live_data.h"
#include "live/var_engine.h"
#include "mbtcp/hmi_block.h"
#include "recipe/recipe_data.h"

class RegisterMap : public ::testing::Test {
protected:
    void SetUp() override {
        recipe = std::make_unique<ScadaRecipeData>();
        live = std::make_unique<LiveDataGuard>();
        hmi = std::make_unique<HmiCommandBlock>();
        vars = std::make_unique<VarEngine>();
        vars->attachLive(*live);
        vars->attachStore(RegOwner::RECIPE, recipe.get(), sizeof(ScadaRecipeData), recipeMutex);
        fillAllVars(ExportVarStores{*vars, *recipe, live->data(), *hmi});
    }

    std::mutex recipeMutex;
    std::unique_ptr<ScadaRecipeData> recipe;
    std::unique_ptr<LiveDataGuard> live;
    std::unique_ptr<HmiCommandBlock> hmi;
    std::unique_ptr<VarEngine> vars;
};
