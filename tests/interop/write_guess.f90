! Writes data.dat of one case, a file whose records --describe should tell
! how to read (a header then arrays, frames of several records, plain rows
! of REAL*8 or INTEGER*4), and expected.txt as write_formats.f90 writes it:
! for each variable the suggested command gives, a line "name type d1 d2
! ..." (type: what the file holds), then each value in column-major order,
! numbers as their bits in hexadecimal, chars as their codes.
program write_guess
  use expected_values
  implicit none
  character(len=32) :: which
  integer, parameter :: nx = 5, ny = 4, nz = 2, n = 7, steps = 3, frames = 5
  real :: a(nx, ny, steps), b(nx, ny, nz, steps), x(n, frames), y(n, frames), &
          z(n, frames), t(steps), rows(8, 5)
  double precision :: cell(6, frames), r8(10, 6)
  integer :: i, k, i4(12, 6)
  character(len=30) :: title(1) = 'Run 42, the third mesh'

  call get_command_argument(1, which)
  open (10, file='data.dat', form='unformatted', status='replace')
  open (11, file='expected.txt', status='replace')
  a = reshape([(value(i), i = 1, size(a))], shape(a))
  b = reshape([(value(i), i = 1, size(b))], shape(b))
  x = reshape([(value(i), i = 1, size(x))], shape(x))
  y = reshape([(value(i + 100), i = 1, size(y))], shape(y))
  z = reshape([(value(i + 200), i = 1, size(z))], shape(z))
  cell = reshape([(30d0 + sqrt(real(i, 8)) / 7d0, i = 1, size(cell))], &
                 shape(cell))
  t = [(0.25 * i, i = 1, steps)]
  select case (trim(which))
  case ('header-arrays')  ! the sizes, then a record per step
    write (10) nx, ny
    do k = 1, steps
      write (10) a(:, :, k)
    end do
    call put_int('nx', [1, 1], [nx])
    call put_int('ny', [1, 1], [ny])
    call put_real4('a', shape(a), reshape(a, [size(a)]))
  case ('title')  ! a title, the sizes, then per step its time and values
    write (10) title(1)
    write (10) nx, ny, nz
    do k = 1, steps
      write (10) t(k)
      write (10) b(:, :, :, k)
    end do
    call put_chars('title', title)
    call put_int('nx', [1, 1], [nx])
    call put_int('ny', [1, 1], [ny])
    call put_int('nz', [1, 1], [nz])
    call put_real4('t', [steps, 1], t)
    call put_real4('a', shape(b), reshape(b, [size(b)]))
  case ('frames', 'frames-n')  ! a REAL*8 cell, then x, y and z per frame
    if (which == 'frames-n') then
      write (10) n
      call put_int('n', [1, 1], [n])
    end if
    do k = 1, frames
      write (10) cell(:, k)
      write (10) x(:, k)
      write (10) y(:, k)
      write (10) z(:, k)
    end do
    call put_real8('a', shape(cell), reshape(cell, [size(cell)]))
    call put_real4('x', shape(x), reshape(x, [size(x)]))
    call put_real4('y', shape(y), reshape(y, [size(y)]))
    call put_real4('z', shape(z), reshape(z, [size(z)]))
  case ('time-header')  ! a REAL*8 time, then records of values
    write (10) 0.1d0
    do k = 1, steps
      write (10) a(:, :, k)
    end do
    call put_real8('h1', [1, 1], [0.1d0])
    call put_real4('a', [nx * ny, steps], reshape(a, [size(a)]))
  case ('real8')  ! plain rows: a record of each
    r8 = reshape([(sqrt(real(i, 8)) * 3.1d0 - 7.7d0 / i, i = 1, size(r8))], &
                 shape(r8))
    do k = 1, size(r8, 2)
      write (10) r8(:, k)
    end do
    call put_real8('data', [size(r8, 2), size(r8, 1)], &
                   reshape(transpose(r8), [size(r8)]))
  case ('int4')
    i4 = reshape([(modulo(i * 37, 101) - 40, i = 1, size(i4))], shape(i4))
    do k = 1, size(i4, 2)
      write (10) i4(:, k)
    end do
    call put_int('data', [size(i4, 2), size(i4, 1)], &
                 reshape(transpose(i4), [size(i4)]))
  case ('rows')  ! plain rows of REAL*4, which need nothing else
    rows = reshape([(value(i), i = 1, size(rows))], shape(rows))
    do k = 1, size(rows, 2)
      write (10) rows(:, k)
    end do
  case default
    error stop 'unknown case'
  end select
  close (10)
  close (11)
end program write_guess
