// Operations of a driver whose family is not built yet: each answers 1267
// with flags 1. A driver derives from this until its own operations exist.
#pragma once

#include "readers/reader_base.h"

template <class Base> class OUnfinishedReader : public Base {
public:
    using Base::Base;
    int Init(int, tDevReturn* pRet) override { return this->iUnavailable(pRet); }
    int GetStatus(tIdcStatus*, tDevReturn* pRet) override { return this->iUnavailable(pRet); }
    int AcceptCard(int, tDevReturn* pRet) override { return this->iUnavailable(pRet); }
    int ChipIO(int, const uint8_t*, int, uint8_t*, uint32_t*, tDevReturn* pRet) override {
        return this->iUnavailable(pRet);
    }
    int ChipPower(int, uintptr_t, uintptr_t, void*, tDevReturn* pRet) override {
        return this->iUnavailable(pRet);
    }
    int EjectCard(tDevReturn* pRet) override { return this->iUnavailable(pRet); }
    int GetLifeInfo(tIdcLife*, tDevReturn* pRet) override { return this->iUnavailable(pRet); }
    int ReadTrack(tIdcTracks*, tDevReturn* pRet) override { return this->iUnavailable(pRet); }
    int ResetCount(int, tDevReturn* pRet) override { return this->iUnavailable(pRet); }
    int RetainCard(uint32_t*, tDevReturn* pRet) override { return this->iUnavailable(pRet); }
    int ReleaseAntiFishing(tDevReturn* pRet) override { return this->iUnavailable(pRet); }
    int WriteTrack(tIdcTracks*, tDevReturn* pRet) override { return this->iUnavailable(pRet); }
};

// A USB driver whose transport is not built yet: opening reports 1267 too.
class OUnfinishedHidBase : public OReaderBase {
public:
    using OReaderBase::OReaderBase;
    int SetCommPara(tDevReturn* pRet) override { return iUnavailable(pRet); }
};
