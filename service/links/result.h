#pragma once

#include <QList>
#include <QString>
#include <utility>
#include <variant>

namespace Shortd
{

// What kind of failure a call met, so each door answers it its own way: the API with a status,
// an operator command with an exit status. Never decided by reading a message's words.
enum class FaultKind : quint8 {
    Invalid, // what was asked cannot be done as asked: a value out of range, a field misspelt
    Missing, // no such link or key
    Gone, // the link was deleted
    Refused, // not the caller's to do: another's link, a role too low
    TakenDown, // disabled by an admin or an operator, so only such a one may change it
    Conflict, // the code or name is in use
    Unavailable, // the store failed or is away; the same call may succeed later
};

// One member of a request or one option that was refused, and why, in both languages.
struct FieldFault {
    QString field;
    QString chinese;
    QString english {};
};

// A failure with its kind, the value it concerns (a field's or option's name, or empty) and what
// people read: Chinese for the service's replies (none for a fault only an operator command
// meets), English for the operator commands. A refusal that names several members lists each in
// fields, the words above then saying so as a whole.
struct Fault {
    FaultKind kind = FaultKind::Unavailable;
    QString chinese;
    QString english;
    QString field {};
    QList<FieldFault> fields {};
};

// A fault about one value, as one of several a request or a command is refused for.
inline FieldFault asFieldFault(const Fault& fault)
{
    return {fault.field, fault.chinese, fault.english};
}

// A value, or the fault that kept it from being made. The service's fallible calls in links/,
// api/ and ops/ answer this, so a failure reads the same wherever it is met.
template<typename T>
class [[nodiscard]] Result
{
public:
    Result(T value) // NOLINT(google-explicit-constructor): a value is a result
        : m_held(std::in_place_index<0>, std::move(value))
    {
    }
    Result(Fault fault) // NOLINT(google-explicit-constructor): so is a fault
        : m_held(std::in_place_index<1>, std::move(fault))
    {
    }

    bool ok() const { return m_held.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return std::get<0>(m_held); }
    T& value() & { return std::get<0>(m_held); }
    T&& value() && { return std::get<0>(std::move(m_held)); }
    const T* operator->() const { return &value(); }
    T* operator->() { return &value(); }
    const T& operator*() const& { return value(); }
    T& operator*() & { return value(); }
    const Fault& fault() const { return std::get<1>(m_held); }

private:
    std::variant<T, Fault> m_held;
};

// The value of a call that answers only whether it was done: Result<Done>.
struct Done {
};

} // namespace Shortd
