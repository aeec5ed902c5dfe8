#include "pantilt/CRotor.h"

#include "pantilt/CAutoDome.h"
#include "pantilt/CPelcoD.h"
#include "pantilt/CPelcoP.h"
#include "pantilt/CSpeedDome.h"

bool CRotor::stopEachDrive() {
  bool ok = move(0, 0);
  ok = zoom(0) && ok;
  ok = iris(0) && ok;
  ok = focus(0) && ok;
  return ok;
}

namespace {

template <class T>
std::unique_ptr<CRotor> make() {
  return std::make_unique<T>();
}

struct RotorEntry {
  int typeCode;
  std::unique_ptr<CRotor> (*create)();
};

const RotorEntry kRotors[] = {
    {kRotorAutoDome, make<CAutoDome>},
    {kRotorSpeedDome, make<CSpeedDome>},
    {kRotorPelcoD, make<CPelcoD>},
    {kRotorPelcoP, make<CPelcoP>},
};

}  // namespace

std::unique_ptr<CRotor> createRotor(int typeCode) {
  for (const RotorEntry& e : kRotors)
    if (e.typeCode == typeCode) return e.create();
  return nullptr;
}
