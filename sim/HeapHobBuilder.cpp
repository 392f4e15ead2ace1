#include "sim/HeapHobBuilder.h"

#include <cstring>

namespace sim {

HEAP_HEADER HeapHob::Header() const {
  HEAP_HEADER H{};
  H.Signature = Signature;
  H.Reserved4 = Reserved4;
  H.DataSize = HeaderDataSize();
  H.PoolSelector = PoolSelector;
  H.MigrateFlag = MigrateFlag;
  H.Reserved14 = Reserved14;
  return H;
}

HobList &AddHeapHob(HobList &List, const HeapHob &Hob) {
  std::vector<uint8_t> Payload(sizeof(HEAP_HEADER) + Hob.Data.size());
  const HEAP_HEADER H = Hob.Header();
  std::memcpy(Payload.data(), &H, sizeof(H));
  std::copy(Hob.Data.begin(), Hob.Data.end(), Payload.begin() + sizeof(HEAP_HEADER));
  return List.AddGuid(gTevHeapHobGuid, Payload);
}

InstalledHeapList::InstalledHeapList() : Protocol{} {
  Protocol.Revision = 1;
  Protocol.Head.ForwardLink = &Protocol.Head;
  Protocol.Head.BackLink = &Protocol.Head;
}

namespace {

std::vector<const HEAP_NODE *> Walk(const LIST_LINK *Head, size_t Limit, bool Forward) {
  std::vector<const HEAP_NODE *> Nodes;
  for (const LIST_LINK *Link = Forward ? Head->ForwardLink : Head->BackLink; Link != Head && Nodes.size() < Limit;
       Link = Forward ? Link->ForwardLink : Link->BackLink) {
    Nodes.push_back(reinterpret_cast<const HEAP_NODE *>(Link));
  }
  return Nodes;
}

}  // namespace

std::vector<const HEAP_NODE *> HeapListForward(const LIST_LINK *Head, size_t Limit) { return Walk(Head, Limit, true); }

std::vector<const HEAP_NODE *> HeapListBackward(const LIST_LINK *Head, size_t Limit) {
  return Walk(Head, Limit, false);
}

std::vector<HeapHob> DefaultHeapHobs() {
  HeapHob A;
  A.Reserved4 = 0x11111111;
  A.Reserved14 = 0xA1A1;
  A.Data = {'b', 'o', 'o', 't', '-', 'h', 'e', 'a', 'p', 0x00, 0xA5, 0x5A};
  HeapHob B;
  B.PoolSelector = HeapPoolRuntime;
  B.Reserved4 = 0x22222222;
  B.Reserved14 = 0xB2B2;
  B.Data.resize(100);
  for (size_t I = 0; I < B.Data.size(); I++) {
    B.Data[I] = static_cast<uint8_t>(0x80 + I);
  }
  HeapHob C;
  C.MigrateFlag = 0;
  C.Data = {'s', 't', 'a', 'y'};
  return {A, B, C};
}

}  // namespace sim
