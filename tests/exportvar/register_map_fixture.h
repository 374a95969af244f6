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
#include "recipe/recipe_guard.h"

class RegisterMap : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_unique<RecipeDataGuard>();
        recipe = &store->recipe;
        live = std::make_unique<LiveDataGuard>(store.get());
        hmi = std::make_unique<HmiCommandBlock>();
        vars = std::make_unique<VarEngine>();
        attachStores(*vars, *store, *live);
        fillAllVars(ExportVarStores{*vars, *recipe, live->data(), *hmi});
    }

    std::unique_ptr<RecipeDataGuard> store;
    ScadaRecipeData* recipe = nullptr;
    std::unique_ptr<LiveDataGuard> live;
    std::unique_ptr<HmiCommandBlock> hmi;
    std::unique_ptr<VarEngine> vars;
};
