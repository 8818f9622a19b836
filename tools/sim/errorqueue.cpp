#include "sim/errorqueue.h"

namespace kestrel::sim
{

QByteArray errorDescription(int code)
{
    switch (code) {
    case 0:
        return "No error";
    case scpiError::syntax:
        return "Syntax error";
    case scpiError::dataType:
        return "Data type error";
    case scpiError::parameterNotAllowed:
        return "Parameter not allowed";
    case scpiError::missingParameter:
        return "Missing parameter";
    case scpiError::undefinedHeader:
        return "Undefined header";
    case scpiError::settingsConflict:
        return "Settings conflict";
    case scpiError::dataOutOfRange:
        return "Data out of range";
    case scpiError::illegalParameterValue:
        return "Illegal parameter value";
    case scpiError::queueOverflow:
        return "Queue overflow";
    case scpiError::outputNotOn:
        return "Output not on";
    default:
        return "Command error";
    }
}

void ErrorQueue::push(int code)
{
    if (codes_.size() < capacity)
        codes_.push_back(code);
    else
        codes_.back() = scpiError::queueOverflow;
}

int ErrorQueue::popCode()
{
    if (codes_.empty())
        return 0;
    const int code = codes_.front();
    codes_.pop_front();
    return code;
}

QByteArray ErrorQueue::pop()
{
    const int code = popCode();
    QByteArray text = QByteArray::number(code);
    text += ",\"";
    text += errorDescription(code);
    text += '"';
    return text;
}

} // namespace kestrel::sim
