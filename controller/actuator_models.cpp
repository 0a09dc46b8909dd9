#include "controller/actuator_models.h"

#include <iterator>

#include "controller/clavix.h"
#include "controller/kinetra.h"
#include "controller/kinetra_b.h"

namespace zorvik {

namespace {

const ActuatorModel kModels[] = {
    {CLAVIX, "CLAVIX", false,
     [](const std::string& name, uint8_t id, CtrlChannel channel) -> Actuator* {
       return new zorvik_clavix::Clavix(name, id, channel);
     },
     {{1, 0, 1, 0, 0}, {0, 0, 1, 0, 0}, true, 1, 0.9, 0, 0.1, 10, 300}},
    {KINETRA_A50, "KINETRA_A50", true,
     [](const std::string& name, uint8_t id, CtrlChannel channel) -> Actuator* {
       return new zorvik_kinetra::KinetraA(name, id, channel, KINETRA_A50);
     },
     {{0, 0.5f, 0, 0, 1000}, {0, -0.5f, 0, 0, 1000}, false, 0.5, 0.1, -0.5, -0.1, 1, 100}},
    {KINETRA_A90, "KINETRA_A90", true,
     [](const std::string& name, uint8_t id, CtrlChannel channel) -> Actuator* {
       return new zorvik_kinetra::KinetraA(name, id, channel, KINETRA_A90);
     },
     {{0, 0.5f, 0, 0, 2000}, {0, -0.5f, 0, 0, 2000}, false, 0.5, 0.1, -0.5, -0.1, 1, 100}},
    {KINETRA_B30, "KINETRA_B30", false,
     [](const std::string& name, uint8_t id, CtrlChannel channel) -> Actuator* {
       return new zorvik_kinetra::KinetraB(name, id, channel);
     },
     {{9, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, true, 9, 8, 0, 1, 10, 300}},
};

}  // namespace

const ActuatorModel* FindModel(ActuatorType type) {
  for (const ActuatorModel& model : kModels) {
    if (model.type == type) return &model;
  }
  return nullptr;
}

const ActuatorModel* FindModel(const std::string& text) {
  for (const ActuatorModel& model : kModels) {
    if (text == model.text) return &model;
  }
  return nullptr;
}

const ActuatorModel* AllModels(size_t& count) {
  count = std::size(kModels);
  return kModels;
}

}  // namespace zorvik
