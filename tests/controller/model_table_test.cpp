// The actuator model table: every row must be usable by each reader of the
// table (facade factory, configuration texts, shake-hand codes, motion test),
// so a new row that is incomplete or inconsistent fails here.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "controller/actuator.h"
#include "controller/actuator_models.h"

namespace zorvik {
namespace {

TEST(ModelTable, RowsAreUniqueAndFoundByCodeAndText) {
  size_t count = 0;
  const ActuatorModel* models = AllModels(count);
  ASSERT_EQ(count, 4u);
  std::set<int> codes;
  std::set<std::string> texts;
  for (size_t i = 0; i < count; ++i) {
    const ActuatorModel& m = models[i];
    SCOPED_TRACE(m.text);
    // The shake-hand reply carries codes 1 to 7 only.
    EXPECT_GE(m.type, 1);
    EXPECT_LE(m.type, 7);
    EXPECT_TRUE(codes.insert(m.type).second);
    EXPECT_TRUE(texts.insert(m.text).second);
    EXPECT_EQ(FindModel(m.type), &m);
    EXPECT_EQ(FindModel(std::string(m.text)), &m);
  }
  EXPECT_EQ(FindModel(TYPE_NONE), nullptr);
  EXPECT_EQ(FindModel(static_cast<ActuatorType>(4)), nullptr);
  // Texts match exactly: no case folding, no trimming.
  EXPECT_EQ(FindModel(std::string("clavix")), nullptr);
  EXPECT_EQ(FindModel(std::string("CLAVIX ")), nullptr);
  EXPECT_EQ(FindModel(std::string("")), nullptr);
}

TEST(ModelTable, FactoryBuildsAnActuatorOfTheRowsModel) {
  size_t count = 0;
  const ActuatorModel* models = AllModels(count);
  for (size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(models[i].text);
    std::unique_ptr<Actuator> actuator(models[i].create("a", 3, CHANNEL_2));
    ASSERT_NE(actuator, nullptr);
    EXPECT_EQ(actuator->GetType(), models[i].type);
    EXPECT_EQ(actuator->GetName(), "a");
    EXPECT_EQ(actuator->GetId(), 3);
    EXPECT_EQ(actuator->GetChannel(), CHANNEL_2);
  }
}

TEST(ModelTable, OnlyTheKinetraAJointsHaveAPowerStage) {
  EXPECT_FALSE(FindModel(CLAVIX)->has_power_stage);
  EXPECT_TRUE(FindModel(KINETRA_A50)->has_power_stage);
  EXPECT_TRUE(FindModel(KINETRA_A90)->has_power_stage);
  EXPECT_FALSE(FindModel(KINETRA_B30)->has_power_stage);
}

// The motion test commands a target and waits for the reading to cross a
// threshold between the two targets: a row whose threshold lies beyond its
// target, or whose commanded value is not the target it reports, could
// never pass.
TEST(ModelTable, MotionTargetsAreTheCommandedValuesAndThresholdsLieBetweenThem) {
  size_t count = 0;
  const ActuatorModel* models = AllModels(count);
  for (size_t i = 0; i < count; ++i) {
    const MotionTest& m = models[i].motion;
    SCOPED_TRACE(models[i].text);
    const int quantity = m.reads_position ? 0 : 1;
    EXPECT_EQ(static_cast<double>(m.forward[quantity]), m.forward_target);
    EXPECT_EQ(static_cast<double>(m.reverse[quantity]), m.reverse_target);
    EXPECT_LT(m.reverse_target, m.reverse_threshold);
    EXPECT_LE(m.reverse_threshold, m.forward_threshold);
    EXPECT_LT(m.forward_threshold, m.forward_target);
    EXPECT_GT(m.poll_period_ms, 0);
    EXPECT_GT(m.poll_limit, 0);
  }
}

}  // namespace
}  // namespace zorvik
