// Compiled with contraction allowed, for the check that must find it.
extern "C" double multiply_then_add(double a, double b, double c)
{
    return a * b + c;
}
