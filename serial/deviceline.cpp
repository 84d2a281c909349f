#include "serial/deviceline.h"

#include "serial/co.h"

namespace serial {

void ConfigureDeviceLine(TComm& comm) {
    comm.setParityCheck(false);
    comm.setOutx_CtsFlow(false);
    comm.setOutx_DsrFlow(false);
    comm.setDtrControl(TDtrControl::DtrDisable);
    comm.setDsrSensitivity(false);
    comm.setTxContinueOnXoff(false);
    comm.setOutx_XonXoffFlow(false);
    comm.setInx_XonXoffFlow(false);
    comm.setReplaceWhenParityError(false);
    comm.setIgnoreNullChar(false);
    comm.setRtsControl(TRtsControl::RtsTransmissionAvailable);
    comm.setXonLimit(500);
    comm.setXoffLimit(500);
    comm.setByteSize(TByteSize::_8);
    comm.setParity(TParity::None);
    comm.setStopBits(TStopBits::_2);
    comm.setXonChar(0x11);
    comm.setXoffChar(0x13);
    comm.setReplacedChar(0x00);
}

} // namespace serial
